// The console: sign-in, then the forecourt kept live from the event stream, the actions the
// client's role allows, and the lines' health. This module holds what the pieces share (the
// session, the language, the connection's status) and draws the page; each concern has its
// own: signin.js, loading.js, actions.js, lines.js, alarms.js.

import { Actions } from './actions.js';
import { AlarmList } from './alarms.js';
import { Dialogs } from './dialogs.js';
import { $ } from './dom.js';
import { Status, renderConnection } from './events.js';
import { chooseLanguage, describeError, has, translator } from './i18n.js';
import { Lines } from './lines.js';
import { Loading } from './loading.js';
import { Retry, linearDelay } from './retry.js';
import { SignIn } from './signin.js';
import { TileBoard, renderAlarms, renderGrades, renderSales, showToast } from './view.js';

const kLanguageKey = 'fuel.language';

// While the server does not answer the sign-in or the load: one second more between tries
// each time, ten at most.
const kAskAgainDelay = linearDelay(1000, 10000);

class Console {
    constructor() {
        this.lang = chooseLanguage(navigator.languages, localStorage.getItem(kLanguageKey));
        this.t = translator(this.lang);
        this.session = null;
        this.status = null;
        this.board = new TileBoard($('tiles'));
        this.alarms = new AlarmList(sessionStorage);
        this.actions = new Actions(this);
        this.dialogs = new Dialogs({ ctx: () => this.ctx(), send: (action, target, body) => this.actions.send(action, target, body) });
        this.lines = new Lines(this);
        this.loading = new Loading(this);
        this.signIn = new SignIn(this, {
            tokenKey: 'fuel.token',
            hidden: ['console', 'who', 'emergency', 'sign-out', 'connection'],
            describeError,
            session: () => ({ store: null, stream: null }),
            // The alarms this tab kept were for whoever was signed in: the next one starts afresh.
            showing: () => {
                this.alarms.clear();
                this.renderAlarms();
            },
            signedIn: async (session) => {
                $('console').hidden = false;
                $('emergency').hidden = !session.may.has('emergency-stop');
                await this.loading.start(session);
            },
            signedOut: (session) => {
                this.loading.stop(session);
                this.dialogs.closeAll();
                this.board.clear();
            },
        });

        $('language').value = this.lang;
        $('language').addEventListener('change', (event) => this.setLanguage(event.target.value));
        $('emergency').addEventListener('click', () => this.dialogs.openEmergency());
        window.addEventListener('online', () => this.session?.stream?.retryNow());
        this.applyTexts();
        this.signIn.start();
    }

    ctx() {
        const session = this.session;
        return {
            t: this.t,
            lang: this.lang,
            has: (key) => has(this.lang, key),
            store: session?.store,
            may: session?.may ?? new Set(),
            who: session?.who ?? {},
            act: (action, target) => this.actions.act(action, target),
            dismiss: (alarm) => this.dismissAlarm(alarm),
        };
    }

    // Tries attempt() until the server answers, for as long as `session` is the page's, and
    // says so in the status pill. giveUp(error): a failure that another try would not mend.
    // Resolves with what attempt() returned, or Stopped.
    untilAnswered(session, attempt, giveUp) {
        return new Retry({
            delayMs: (failures, error) => (giveUp(error) ? null : kAskAgainDelay(failures)),
            stopped: () => this.session !== session,
            onWait: (failures) => this.setStatus({ status: Status.Reconnecting, attempt: failures }),
        }).run(attempt);
    }

    setLanguage(lang) {
        this.lang = lang;
        this.t = translator(lang);
        localStorage.setItem(kLanguageKey, lang);
        this.applyTexts();
        if (this.session?.store) this.renderAll();
        this.renderStatus();
    }

    applyTexts() {
        document.documentElement.lang = this.lang;
        for (const node of document.querySelectorAll('[data-text]')) node.textContent = this.t(node.dataset.text);
        if (this.session?.who) this.signIn.showWho();
    }

    renderAll() {
        const ctx = this.ctx();
        this.board.render(ctx);
        renderSales(ctx, $('sales'), $('sales-empty'));
        renderGrades(ctx, $('grades').tBodies[0]);
        this.lines.render(ctx);
        this.renderAlarms();
    }

    // An alarm event of the stream: on the banner until someone here dismisses it.
    raiseAlarm(event) {
        if (this.alarms.add(event)) this.renderAlarms();
    }

    dismissAlarm(alarm) {
        if (alarm === null) this.alarms.dismissAll();
        else this.alarms.dismiss(alarm);
        this.renderAlarms();
    }

    renderAlarms() {
        renderAlarms(this.ctx(), $('alarms'), this.session ? this.alarms.alarms : []);
    }

    setStatus(status) {
        this.status = status;
        this.renderStatus();
    }

    renderStatus() {
        renderConnection(this.status, Boolean(this.session), this.t);
    }

    toast(kind, text, detail = '') {
        showToast($('toasts'), { kind, text, detail, dismiss: this.t('action.dismiss') });
    }
}

new Console();
