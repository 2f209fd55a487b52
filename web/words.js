// What every console does with its words, whatever they are: the language chosen (the
// user's pick, else the browser's first that the console has), texts filled in, a failed
// request said in the user's words, and numbers and times as the chosen language writes them.

export const Languages = ['en', 'ru'];

// The words every console has: signing in and out, the language, the connection, a fuel
// point's states. A console's own texts come over them where it says more.
const sharedTexts = {
    en: {
        'signIn.prompt': 'Enter the token you were given for this console.',
        'signIn.token': 'Token',
        'signIn.submit': 'Sign in',
        'signIn.empty': 'Enter a token.',
        'signIn.unknown': 'This token is unknown or revoked.',
        'signIn.failed': 'The server did not answer: {message}',
        'signIn.revoked': 'Signed out: the server no longer accepts this token.',
        'signOut': 'Sign out',
        'language': 'Language',
        'conn.connecting': 'Connecting…',
        'conn.live': 'Live',
        'conn.reconnecting': 'Reconnecting… (attempt {attempt})',
        'conn.stopped': 'Disconnected',
        'state.CLOSED': 'Closed',
        'state.IDLE': 'Idle',
        'state.CALLING': 'Nozzle lifted',
        'state.AUTHORISED': 'Authorised',
        'state.FUELLING': 'Fuelling',
        'state.OFFLINE': 'Offline',
        'state.ERROR': 'Error',
        'tile.pump': 'Pump {id}',
        'action.dismiss': 'Dismiss',
        'error.forbidden': 'Your role may not do this.',
    },
    ru: {
        'signIn.prompt': 'Введите токен, выданный вам для этой консоли.',
        'signIn.token': 'Токен',
        'signIn.submit': 'Войти',
        'signIn.empty': 'Введите токен.',
        'signIn.unknown': 'Токен неизвестен или отозван.',
        'signIn.failed': 'Сервер не ответил: {message}',
        'signIn.revoked': 'Выход: сервер больше не принимает этот токен.',
        'signOut': 'Выйти',
        'language': 'Язык',
        'conn.connecting': 'Подключение…',
        'conn.live': 'На связи',
        'conn.reconnecting': 'Восстановление связи… (попытка {attempt})',
        'conn.stopped': 'Отключено',
        'state.CLOSED': 'Закрыта',
        'state.IDLE': 'Свободна',
        'state.CALLING': 'Пистолет снят',
        'state.AUTHORISED': 'Разрешена',
        'state.FUELLING': 'Налив',
        'state.OFFLINE': 'Нет связи',
        'state.ERROR': 'Ошибка',
        'tile.pump': 'ТРК {id}',
        'action.dismiss': 'Закрыть',
        'error.forbidden': 'Вашей роли это не разрешено.',
    },
};

// A console's words: {language: {key: text with {placeholders}}} over the shared ones,
// English the fallback. The methods are bound, so that a console can hand them out as plain
// functions.
export class Words {
    constructor(texts) {
        this.texts = Object.fromEntries(Languages.map((language) => [language, { ...sharedTexts[language], ...texts[language] }]));
        for (const name of ['textKeys', 'chooseLanguage', 'has', 'translator', 'describeError']) this[name] = this[name].bind(this);
    }

    textKeys(language) {
        return Object.keys(this.texts[language] ?? {});
    }

    // The stored choice if it is one we have, else the browser's first language we have.
    chooseLanguage(browserLanguages, stored) {
        if (Languages.includes(stored)) return stored;
        for (const tag of browserLanguages ?? []) {
            const primary = String(tag).toLowerCase().split('-')[0];
            if (Languages.includes(primary)) return primary;
        }
        return 'en';
    }

    has(language, key) {
        return Object.hasOwn(this.texts[language] ?? {}, key);
    }

    translator(language) {
        const texts = this.texts;
        const table = texts[language] ?? texts.en;
        return (key, params = {}) => {
            const text = table[key] ?? texts.en[key] ?? key;
            return text.replace(/\{(\w+)\}/g, (whole, name) => (name in params ? String(params[name]) : whole));
        };
    }

    // The user's words for a failed request (an ApiError: no answer at all, or the server's
    // refusal), and the server's own message beside them when it says more.
    describeError(language, error) {
        const code = error.status === 0 ? 'no-answer' : error.code;
        const key = `error.${code}`;
        const text = this.has(language, key) ? this.translator(language)(key) : error.message || code;
        const detail = error.message && error.message !== text ? error.message : '';
        return { text, detail };
    }
}

const formats = new Map();
function numberFormat(language, min, max) {
    const key = `${language}/${min}/${max}`;
    if (!formats.has(key)) {
        formats.set(key, new Intl.NumberFormat(language, { minimumFractionDigits: min, maximumFractionDigits: max }));
    }
    return formats.get(key);
}

export function formatNumber(language, value, min, max = min) {
    if (typeof value !== 'number' || !Number.isFinite(value)) return '—';
    return numberFormat(language, min, max).format(value);
}

export const formatMoney = (language, value) => formatNumber(language, value, 2);
// Some controllers count volume in thousandths: shown when they are there.
export const formatVolume = (language, value) => formatNumber(language, value, 2, 3);
export const formatPrice = (language, value) => formatNumber(language, value, 2, 3);

export function formatTime(language, iso) {
    const date = new Date(iso);
    if (Number.isNaN(date.getTime())) return '—';
    return date.toLocaleTimeString(language, { hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23' });
}

// A number as a person types it: a comma or a point before the decimals, spaces between
// thousands. Anything else (two separators, letters, exponents, signs) is refused: null.
export function parseNumber(text) {
    const compact = String(text ?? '').trim().replace(/(\d)[\s\u00a0\u202f](?=\d{3}(\D|$))/g, '$1');
    if (!/^\d+([.,]\d+)?$/.test(compact)) return null;
    const value = Number(compact.replace(',', '.'));
    return Number.isFinite(value) ? value : null;
}
