// The console's words in English and Russian, and numbers and times as the chosen
// language writes them. The language comes from the browser unless the user picked one.

export const Languages = ['en', 'ru'];

const texts = {
    en: {
        'app.title': 'Forecourt',
        'signIn.title': 'Sign in to the forecourt',
        'signIn.prompt': 'Enter the token you were given for this console.',
        'signIn.token': 'Token',
        'signIn.submit': 'Sign in',
        'signIn.empty': 'Enter a token.',
        'signIn.unknown': 'This token is unknown or revoked.',
        'signIn.failed': 'The server did not answer: {message}',
        'signIn.revoked': 'Signed out: the server no longer accepts this token.',
        'signOut': 'Sign out',
        'language': 'Language',
        'role.viewer': 'viewer',
        'role.pos': 'cashier',
        'role.backoffice': 'back office',
        'role.technician': 'technician',
        'conn.connecting': 'Connecting…',
        'conn.live': 'Live',
        'conn.reconnecting': 'Reconnecting… (attempt {attempt})',
        'conn.stopped': 'Disconnected',
        'conn.stale': 'Connection to the server lost: what you see may be out of date. Reconnecting by itself…',
        'state.CLOSED': 'Closed',
        'state.IDLE': 'Idle',
        'state.CALLING': 'Nozzle lifted',
        'state.AUTHORISED': 'Authorised',
        'state.FUELLING': 'Fuelling',
        'state.OFFLINE': 'Offline',
        'state.ERROR': 'Error',
        'hint.CLOSED': 'Blocked by the back office',
        'hint.CALLING': 'A customer waits for the release',
        'hint.OFFLINE': 'The controller does not answer',
        'hint.ERROR': 'The controller’s answers make no sense',
        'hint.AUTHORISED': 'Waiting for the nozzle',
        'hint.unauthorised': 'Started at the pump: no till authorised it',
        'hint.pumpRelease': 'Its fills start at the pump',
        'tile.pump': 'Pump {id}',
        'tile.nozzle': 'Nozzle {nozzle}',
        'tile.volume': 'Litres',
        'tile.amount': 'Amount',
        'tile.price': 'Price',
        'tile.preset': 'Preset',
        'tile.prepaid': 'prepaid',
        'tile.by': 'by {client}',
        'tile.atPump': 'started at the pump',
        'tile.noPrice': 'no price',
        'tile.noPriceTitle': 'Its controller dispenses on its own and keeps no price',
        'tile.sales': 'Sales waiting: {count}',
        'tile.bufferFull': 'buffer full',
        'preset.none': 'none',
        'preset.volume': '{value} L',
        'preset.money': 'for {value}',
        'action.authorise': 'Authorise',
        'action.stop': 'Stop',
        'action.close': 'Close',
        'action.open': 'Open',
        'action.lock': 'Lock',
        'action.unlock': 'Unlock',
        'action.clear': 'Paid',
        'action.price': 'Change price',
        'action.emergency': 'Emergency stop',
        'action.cancel': 'Cancel',
        'action.confirmEmergency': 'Stop every pump',
        'action.dismiss': 'Dismiss',
        'authorise.title': 'Authorise pump {id}',
        'authorise.money': 'Amount',
        'authorise.volume': 'Litres',
        'authorise.none': 'No preset',
        'authorise.value': 'Preset value',
        'authorise.grades': 'Grades allowed (none ticked: any)',
        'authorise.prepaid': 'Prepaid: the sale is locked to this till',
        'price.title': 'Price of {grade}',
        'price.current': 'Now: {price} per litre',
        'price.new': 'New price per litre',
        'price.submit': 'Set price',
        'emergency.title': 'Emergency stop',
        'emergency.text': 'Stops every running fill and withdraws every authorisation, on every pump.',
        'input.badNumber': 'Enter a number greater than zero, e.g. {example}',
        'done.authorise': 'Pump {id} authorised',
        'done.stop': 'Pump {id} stopped',
        'done.close': 'Pump {id} closed',
        'done.open': 'Pump {id} open',
        'done.lock': 'Sale {id} locked to you',
        'done.unlock': 'Sale {id} unlocked',
        'done.clear': 'Sale {id} cleared as paid',
        'done.price': '{grade}: {price} on {count} nozzles',
        'done.priceDeferred': '{count} of them after their running fill',
        'done.priceNotTaken': '{count} nozzles take no price (pump {list})',
        'done.emergency': 'Emergency stop: pumps stopped: {list}',
        'failed': '{action} failed',
        'notice.cancelled': 'Pump {id}: fill cancelled ({reason})',
        'notice.emergency': 'Emergency stop by {by}',
        'notice.price': 'New price of {grade}: {price}',
        'reason.withdrawn': 'authorisation withdrawn',
        'reason.stopped': 'stopped',
        'reason.no fuel taken': 'no fuel taken',
        'reason.emergency stop': 'emergency stop',
        'reason.closed': 'pump closed',
        'error.closed': 'The pump is closed.',
        'error.offline': 'The pump’s controller does not answer.',
        'error.busy': 'The pump is busy.',
        'error.sale-buffer-full': 'The pump’s sale buffer is full: clear a sale first.',
        'error.autonomous': 'This pump dispenses by itself and takes no authorisation.',
        'error.nothing-to-stop': 'Nothing to stop.',
        'error.locked-by-other': 'Another till has locked this sale.',
        'error.cleared-by-other': 'Another till has already cleared this sale.',
        'error.not-locked': 'The sale is not locked.',
        'error.already-cleared': 'The sale is already cleared.',
        'error.in-progress': 'The same request is still being carried out.',
        'error.forecourt-stopped': 'The forecourt is stopping.',
        'error.journal-failed': 'The sale journal cannot be written.',
        'error.journal-failing': 'The sale journal cannot write now (is the disk full?): no pump is authorised until it can.',
        'error.controller-failed': 'The controller did not carry it out.',
        'error.price-not-confirmed': 'Not every controller confirmed the price.',
        'error.forbidden': 'Your role may not do this.',
        'error.no-answer': 'The server did not answer.',
        'error.bad-request': 'The server refused the request.',
        'error.no-such-fuel-point': 'There is no such pump.',
        'error.no-such-sale': 'There is no such sale.',
        'error.no-such-grade': 'There is no such grade.',
        'sales.title': 'Sales waiting',
        'sales.empty': 'No sales waiting.',
        'sales.id': 'No.',
        'sales.litres': 'L',
        'saleState.PAYABLE': 'To pay',
        'saleState.LOCKED': 'Locked: {client}',
        'sales.mark.pump': 'started at the pump',
        'sales.mark.unauthorised': 'at the pump, not authorised',
        'sales.mark.computed': 'amount computed at {price}',
        'alarms.title': 'Alarms: {count}',
        'alarms.dismiss': 'Dismiss',
        'alarms.dismissAll': 'Dismiss all',
        'alarm.unauthorised-fill': 'Pump {id}, nozzle {nozzle}: a fill nobody authorised (sale {sale})',
        'alarm.totaliser-reset': 'Pump {id}, nozzle {nozzle}: the totaliser went back from {before} to {after} L. Was the controller replaced or reset?',
        'grades.title': 'Grades and prices',
        'grades.code': 'Code',
        'grades.name': 'Grade',
        'grades.price': 'Price per litre',
        'lines.title': 'Lines',
        'lines.up': 'answering',
        'lines.down': 'not answering',
        'lines.exchanges': 'Exchanges',
        'lines.failed': 'Failed',
        'lines.failures': 'Failed attempts',
        'lines.cycle': 'Poll cycle, ms (last / mean)',
        'lines.unavailable': 'Line health unavailable: {message}',
    },
    ru: {
        'app.title': 'Площадка АЗС',
        'signIn.title': 'Вход на площадку АЗС',
        'signIn.prompt': 'Введите токен, выданный вам для этой консоли.',
        'signIn.token': 'Токен',
        'signIn.submit': 'Войти',
        'signIn.empty': 'Введите токен.',
        'signIn.unknown': 'Токен неизвестен или отозван.',
        'signIn.failed': 'Сервер не ответил: {message}',
        'signIn.revoked': 'Выход: сервер больше не принимает этот токен.',
        'signOut': 'Выйти',
        'language': 'Язык',
        'role.viewer': 'наблюдатель',
        'role.pos': 'кассир',
        'role.backoffice': 'администратор',
        'role.technician': 'техник',
        'conn.connecting': 'Подключение…',
        'conn.live': 'На связи',
        'conn.reconnecting': 'Восстановление связи… (попытка {attempt})',
        'conn.stopped': 'Отключено',
        'conn.stale': 'Связь с сервером потеряна: данные на экране могут быть устаревшими. Связь восстанавливается…',
        'state.CLOSED': 'Закрыта',
        'state.IDLE': 'Свободна',
        'state.CALLING': 'Пистолет снят',
        'state.AUTHORISED': 'Разрешена',
        'state.FUELLING': 'Налив',
        'state.OFFLINE': 'Нет связи',
        'state.ERROR': 'Ошибка',
        'hint.CLOSED': 'Заблокирована администратором',
        'hint.CALLING': 'Клиент ждёт разрешения',
        'hint.OFFLINE': 'Контроллер не отвечает',
        'hint.ERROR': 'Контроллер отвечает некорректно',
        'hint.AUTHORISED': 'Ожидание снятия пистолета',
        'hint.unauthorised': 'Налив начат на колонке без разрешения кассы',
        'hint.pumpRelease': 'Налив начинается на колонке',
        'tile.pump': 'ТРК {id}',
        'tile.nozzle': 'Пистолет {nozzle}',
        'tile.volume': 'Литры',
        'tile.amount': 'Сумма',
        'tile.price': 'Цена',
        'tile.preset': 'Доза',
        'tile.prepaid': 'предоплата',
        'tile.by': 'отпустил: {client}',
        'tile.atPump': 'начат на колонке',
        'tile.noPrice': 'без цены',
        'tile.noPriceTitle': 'Контроллер отпускает топливо сам и не хранит цену',
        'tile.sales': 'Не оплачено: {count}',
        'tile.bufferFull': 'буфер полон',
        'preset.none': 'нет',
        'preset.volume': '{value} л',
        'preset.money': 'на сумму {value}',
        'action.authorise': 'Разрешить',
        'action.stop': 'Стоп',
        'action.close': 'Закрыть',
        'action.open': 'Открыть',
        'action.lock': 'Закрепить',
        'action.unlock': 'Открепить',
        'action.clear': 'Оплачено',
        'action.price': 'Изменить цену',
        'action.emergency': 'Аварийный стоп',
        'action.cancel': 'Отмена',
        'action.confirmEmergency': 'Остановить все ТРК',
        'action.dismiss': 'Закрыть',
        'authorise.title': 'Разрешить отпуск: ТРК {id}',
        'authorise.money': 'Сумма',
        'authorise.volume': 'Литры',
        'authorise.none': 'Без дозы',
        'authorise.value': 'Доза',
        'authorise.grades': 'Разрешённое топливо (ничего не отмечено — любое)',
        'authorise.prepaid': 'Предоплата: продажа закрепляется за этой кассой',
        'price.title': 'Цена: {grade}',
        'price.current': 'Сейчас: {price} за литр',
        'price.new': 'Новая цена за литр',
        'price.submit': 'Установить',
        'emergency.title': 'Аварийная остановка',
        'emergency.text': 'Останавливает все наливы и отменяет все разрешения на всех ТРК.',
        'input.badNumber': 'Введите число больше нуля, например {example}',
        'done.authorise': 'ТРК {id}: отпуск разрешён',
        'done.stop': 'ТРК {id} остановлена',
        'done.close': 'ТРК {id} закрыта',
        'done.open': 'ТРК {id} открыта',
        'done.lock': 'Продажа {id} закреплена за вами',
        'done.unlock': 'Продажа {id} откреплена',
        'done.clear': 'Продажа {id} оплачена',
        'done.price': '{grade}: {price} на пистолетах: {count}',
        'done.priceDeferred': 'из них после текущего налива: {count}',
        'done.priceNotTaken': 'не принимают цену: пистолетов {count} (ТРК {list})',
        'done.emergency': 'Аварийный стоп: остановлены ТРК {list}',
        'failed': '{action}: не выполнено',
        'notice.cancelled': 'ТРК {id}: налив отменён ({reason})',
        'notice.emergency': 'Аварийный стоп: {by}',
        'notice.price': 'Новая цена {grade}: {price}',
        'reason.withdrawn': 'разрешение отозвано',
        'reason.stopped': 'остановлен',
        'reason.no fuel taken': 'топливо не взято',
        'reason.emergency stop': 'аварийный стоп',
        'reason.closed': 'ТРК закрыта',
        'error.closed': 'ТРК закрыта.',
        'error.offline': 'Контроллер ТРК не отвечает.',
        'error.busy': 'ТРК занята.',
        'error.sale-buffer-full': 'Буфер продаж ТРК полон: сначала оплатите продажу.',
        'error.autonomous': 'Эта ТРК отпускает топливо сама и не принимает разрешений.',
        'error.nothing-to-stop': 'Нечего останавливать.',
        'error.locked-by-other': 'Продажа закреплена за другой кассой.',
        'error.cleared-by-other': 'Продажа уже оплачена на другой кассе.',
        'error.not-locked': 'Продажа не закреплена.',
        'error.already-cleared': 'Продажа уже оплачена.',
        'error.in-progress': 'Такой же запрос ещё выполняется.',
        'error.forecourt-stopped': 'Площадка останавливается.',
        'error.journal-failed': 'Журнал продаж не записывается.',
        'error.journal-failing': 'Журнал продаж сейчас не записывается (диск заполнен?): колонки не отпускаются, пока запись не восстановится.',
        'error.controller-failed': 'Контроллер не выполнил команду.',
        'error.price-not-confirmed': 'Не все контроллеры подтвердили цену.',
        'error.forbidden': 'Вашей роли это не разрешено.',
        'error.no-answer': 'Сервер не ответил.',
        'error.bad-request': 'Сервер отклонил запрос.',
        'error.no-such-fuel-point': 'Такой ТРК нет.',
        'error.no-such-sale': 'Такой продажи нет.',
        'error.no-such-grade': 'Такого топлива нет.',
        'sales.title': 'Неоплаченные продажи',
        'sales.empty': 'Неоплаченных продаж нет.',
        'sales.id': '№',
        'sales.litres': 'л',
        'saleState.PAYABLE': 'К оплате',
        'saleState.LOCKED': 'Закреплена: {client}',
        'sales.mark.pump': 'начат на колонке',
        'sales.mark.unauthorised': 'на колонке, без разрешения',
        'sales.mark.computed': 'сумма по цене {price}',
        'alarms.title': 'Тревоги: {count}',
        'alarms.dismiss': 'Скрыть',
        'alarms.dismissAll': 'Скрыть все',
        'alarm.unauthorised-fill': 'ТРК {id}, пистолет {nozzle}: налив без разрешения (продажа {sale})',
        'alarm.totaliser-reset': 'ТРК {id}, пистолет {nozzle}: счётчик уменьшился с {before} до {after} л. Контроллер заменён или сброшен?',
        'grades.title': 'Топливо и цены',
        'grades.code': 'Код',
        'grades.name': 'Топливо',
        'grades.price': 'Цена за литр',
        'lines.title': 'Линии связи',
        'lines.up': 'отвечает',
        'lines.down': 'не отвечает',
        'lines.exchanges': 'Обменов',
        'lines.failed': 'Неудачных',
        'lines.failures': 'Сбойных попыток',
        'lines.cycle': 'Цикл опроса, мс (посл. / сред.)',
        'lines.unavailable': 'Состояние линий недоступно: {message}',
    },
};

export function textKeys(language) {
    return Object.keys(texts[language] ?? {});
}

// The stored choice if it is one we have, else the browser's first language we have.
export function chooseLanguage(browserLanguages, stored) {
    if (Languages.includes(stored)) return stored;
    for (const tag of browserLanguages ?? []) {
        const primary = String(tag).toLowerCase().split('-')[0];
        if (Languages.includes(primary)) return primary;
    }
    return 'en';
}

export function has(language, key) {
    return Object.hasOwn(texts[language] ?? {}, key);
}

export function translator(language) {
    const table = texts[language] ?? texts.en;
    return (key, params = {}) => {
        const text = table[key] ?? texts.en[key] ?? key;
        return text.replace(/\{(\w+)\}/g, (whole, name) => (name in params ? String(params[name]) : whole));
    };
}

// The user's words for a failed request (an ApiError: no answer at all, or the server's
// refusal), and the server's own message beside them when it says more.
export function describeError(language, error) {
    const code = error.status === 0 ? 'no-answer' : error.code;
    const key = `error.${code}`;
    const text = has(language, key) ? translator(language)(key) : error.message || code;
    const detail = error.message && error.message !== text ? error.message : '';
    return { text, detail };
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
