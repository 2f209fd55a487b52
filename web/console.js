// The console: sign-in, then the forecourt kept live from the event stream, the actions the
// client's role allows, and the lines' health. The token stays in this tab's session
// storage: it goes with each request's Authorization header and never into a URL.

import { Api } from './api.js';
import { Dialogs } from './dialogs.js';
import { EventStream, Status } from './events.js';
import { chooseLanguage, formatPrice, has, translator } from './i18n.js';
import { lineHealth, parseMetrics } from './metrics.js';
import { Store } from './store.js';
import { TileBoard, renderGrades, renderLines, renderSales, showToast } from './view.js';

const kTokenKey = 'fuel.token';
const kLanguageKey = 'fuel.language';
const kMetricsPeriodMs = 5000;

const $ = (id) => document.getElementById(id);

// What each action sends, and what the page says when it is done.
const kActions = {
    authorise: { method: 'POST', path: (id) => `/api/v1/fuel-points/${id}/authorise`, done: (id) => ['done.authorise', { id }] },
    stop: { method: 'POST', path: (id) => `/api/v1/fuel-points/${id}/stop`, done: (id) => ['done.stop', { id }] },
    close: { method: 'POST', path: (id) => `/api/v1/fuel-points/${id}/close`, done: (id) => ['done.close', { id }] },
    open: { method: 'POST', path: (id) => `/api/v1/fuel-points/${id}/open`, done: (id) => ['done.open', { id }] },
    lock: { method: 'POST', path: (id) => `/api/v1/sales/${id}/lock`, done: (id) => ['done.lock', { id }] },
    unlock: { method: 'POST', path: (id) => `/api/v1/sales/${id}/unlock`, done: (id) => ['done.unlock', { id }] },
    clear: { method: 'POST', path: (id) => `/api/v1/sales/${id}/clear`, done: (id) => ['done.clear', { id }] },
    price: {
        method: 'PUT',
        path: (code) => `/api/v1/grades/${encodeURIComponent(code)}/price`,
        done: (code, data, lang) => ['done.price', { grade: data.grade.name, price: formatPrice(lang, data.grade.price), count: data.nozzles.length }],
        more: (data) => {
            const deferred = data.nozzles.filter((n) => n.deferred).length;
            return deferred > 0 ? ['done.priceDeferred', { count: deferred }] : null;
        },
    },
    emergency: { method: 'POST', path: () => '/api/v1/forecourt/emergency-stop', done: (target, data) => ['done.emergency', { list: data.fuelPoints.join(', ') || '—' }] },
};

class Console {
    constructor() {
        this.lang = chooseLanguage(navigator.languages, localStorage.getItem(kLanguageKey));
        this.t = translator(this.lang);
        this.session = null;
        this.board = new TileBoard($('tiles'));
        this.dialogs = new Dialogs(this);
        this.lines = [];

        $('language').value = this.lang;
        $('language').addEventListener('change', (event) => this.setLanguage(event.target.value));
        $('sign-in-form').addEventListener('submit', (event) => {
            event.preventDefault();
            this.signIn($('token').value.trim(), true);
        });
        $('sign-out').addEventListener('click', () => this.signOut(''));
        $('emergency').addEventListener('click', () => this.dialogs.openEmergency());
        window.addEventListener('online', () => this.session?.stream?.retryNow());
        this.applyTexts();

        const token = sessionStorage.getItem(kTokenKey);
        if (token) this.signIn(token, false);
        else this.showSignIn('');
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
            act: (action, target) => this.act(action, target),
        };
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
        if (this.session?.who) this.showWho();
    }

    showSignIn(message) {
        $('console').hidden = true;
        for (const id of ['who', 'emergency', 'sign-out', 'connection']) $(id).hidden = true;
        $('sign-in').hidden = false;
        $('sign-in-error').textContent = message;
        $('token').value = '';
        $('token').focus();
    }

    // With a token typed in, a failure is said on the form; with the tab's stored token (a
    // reload), the page waits for the server to come back.
    async signIn(token, typed) {
        if (token === '') {
            $('sign-in-error').textContent = this.t('signIn.empty');
            return;
        }
        const session = { token, api: new Api({ token }), store: null, stream: null, timer: null, who: null, may: new Set() };
        this.session = session;
        for (let attempt = 1; ; ++attempt) {
            try {
                session.who = await session.api.get('/api/v1/client');
                break;
            } catch (error) {
                if (this.session !== session) return;
                if (error.status === 401) {
                    sessionStorage.removeItem(kTokenKey);
                    this.session = null;
                    this.showSignIn(this.t(typed ? 'signIn.unknown' : 'signIn.revoked'));
                    return;
                }
                if (typed) {
                    this.session = null;
                    $('sign-in-error').textContent = this.t('signIn.failed', { message: this.describe(error).text });
                    return;
                }
                this.status = { status: Status.Reconnecting, attempt };
                $('sign-in').hidden = true;
                this.renderStatus();
                await wait(Math.min(1000 * attempt, 10000));
                if (this.session !== session) return;
            }
        }
        sessionStorage.setItem(kTokenKey, token);
        session.may = new Set(session.who.permissions);
        $('sign-in').hidden = true;
        $('console').hidden = false;
        $('sign-out').hidden = false;
        $('emergency').hidden = !session.may.has('emergency-stop');
        this.showWho();
        await this.startLive(session);
    }

    showWho() {
        const who = this.session.who;
        $('who').textContent = `${who.name} · ${this.t(`role.${who.role}`)}`;
        $('who').hidden = false;
    }

    signOut(message) {
        const session = this.session;
        this.session = null;
        if (session) {
            session.stream?.stop();
            clearInterval(session.timer);
        }
        sessionStorage.removeItem(kTokenKey);
        this.dialogs.closeAll();
        this.board.clear();
        this.showSignIn(message);
    }

    // The snapshot and the sales, then the stream from the snapshot's last event on.
    async load(session) {
        const snapshot = await session.api.get('/api/v1/forecourt');
        const [payable, locked] = await Promise.all([
            session.api.get('/api/v1/sales?state=PAYABLE&limit=1000'),
            session.api.get('/api/v1/sales?state=LOCKED&limit=1000'),
        ]);
        if (this.session !== session) return;
        const store = new Store();
        store.loadSnapshot(snapshot);
        store.loadSales([...payable.sales, ...locked.sales]);
        session.store = store;
        this.board.clear();
        this.renderAll();
    }

    async startLive(session) {
        this.status = { status: Status.Connecting };
        this.renderStatus();
        for (let attempt = 1; ; ++attempt) {
            try {
                await this.load(session);
                break;
            } catch (error) {
                if (this.session !== session) return;
                if (error.status === 401) return this.signOut(this.t('signIn.revoked'));
                this.status = { status: Status.Reconnecting, attempt };
                this.renderStatus();
                await wait(Math.min(1000 * attempt, 10000));
                if (this.session !== session) return;
            }
        }
        if (this.session !== session) return;
        session.stream = new EventStream({
            url: '/api/v1/events',
            token: session.token,
            after: session.store.sequence,
            onEvent: (event) => this.onEvent(session, event),
            onStatus: (status, detail) => {
                if (this.session !== session) return;
                const wasDown = this.status?.status === Status.Reconnecting;
                this.status = { status, ...detail };
                this.renderStatus();
                if (status === Status.Live && wasDown) this.refreshLines(session);
            },
            onReset: async () => {
                await this.load(session);
                return session.store.sequence;
            },
            onUnauthorised: () => this.signOut(this.t('signIn.revoked')),
        });
        session.stream.start();
        this.refreshLines(session);
        session.timer = setInterval(() => this.refreshLines(session), kMetricsPeriodMs);
    }

    onEvent(session, event) {
        if (this.session !== session || !session.store) return;
        const changed = session.store.apply(event);
        const ctx = this.ctx();
        if (changed.sales) {
            renderSales(ctx, $('sales'), $('sales-empty'));
            this.board.render(ctx); // the tiles count their waiting sales
        } else if (changed.points.length > 0) {
            this.board.render(ctx, changed.points);
        }
        if (changed.grades) renderGrades(ctx, $('grades').tBodies[0]);
        if (changed.notice) {
            const params = { ...changed.notice.params };
            if (params.reason !== undefined) params.reason = has(this.lang, `reason.${params.reason}`) ? this.t(`reason.${params.reason}`) : params.reason;
            if (typeof params.price === 'number') params.price = formatPrice(this.lang, params.price);
            this.toast('info', this.t(changed.notice.key, params));
        }
    }

    async refreshLines(session) {
        if (document.hidden && this.lines.length > 0) return;
        try {
            const text = await session.api.text('/metrics');
            if (this.session !== session) return;
            this.lines = lineHealth(parseMetrics(text));
            $('lines-error').textContent = '';
        } catch (error) {
            if (this.session !== session) return;
            $('lines-error').textContent = this.t('lines.unavailable', { message: this.describe(error).text });
        }
        renderLines(this.ctx(), $('lines'), this.lines);
    }

    renderAll() {
        const ctx = this.ctx();
        this.board.render(ctx);
        renderSales(ctx, $('sales'), $('sales-empty'));
        renderGrades(ctx, $('grades').tBodies[0]);
        renderLines(ctx, $('lines'), this.lines);
    }

    renderStatus() {
        const pill = $('connection');
        const status = this.status?.status;
        if (!this.session || !status) {
            pill.hidden = true;
            return;
        }
        pill.hidden = false;
        pill.dataset.status = status;
        pill.textContent = this.t(`conn.${status}`, { attempt: this.status.attempt ?? 1 });
        const down = status === Status.Reconnecting || status === Status.Stopped;
        $('stale').hidden = !down;
        document.body.classList.toggle('stale', down);
    }

    act(action, target) {
        const store = this.session?.store;
        if (action === 'authorise') return this.dialogs.openAuthorise(store.points.get(target));
        if (action === 'price') return this.dialogs.openPrice(store.grades.get(target));
        return this.send(action, target, {}, true);
    }

    // Sends an action; the page learns its effect from the event stream like every other
    // client's. Says how it went in a toast (failures too when no dialog shows them).
    async send(action, target, body = {}, toastFailure = false) {
        const session = this.session;
        const request = kActions[action];
        try {
            const data = await session.api.change(request.method, request.path(target), body);
            const [key, params] = request.done(target, data, this.lang);
            const more = request.more?.(data);
            this.toast('ok', this.t(key, params), more ? this.t(more[0], more[1]) : '');
            return { ok: true };
        } catch (error) {
            if (error.status === 401) {
                this.signOut(this.t('signIn.revoked'));
                return { ok: false, message: '' };
            }
            const { text, detail } = this.describe(error);
            if (toastFailure) this.toast('error', `${this.t('failed', { action: this.t(`action.${action}`) })}: ${text}`, detail);
            return { ok: false, message: detail ? `${text} (${detail})` : text };
        }
    }

    // The user's words for a failure, and the server's own message beside them.
    describe(error) {
        const code = error.status === 0 ? 'no-answer' : error.code;
        const key = `error.${code}`;
        const text = has(this.lang, key) ? this.t(key) : error.message || code;
        const detail = error.message && error.message !== text ? error.message : '';
        return { text, detail };
    }

    toast(kind, text, detail = '') {
        showToast($('toasts'), { kind, text, detail, dismiss: this.t('action.dismiss') });
    }
}

function wait(ms) {
    return new Promise((resolve) => setTimeout(resolve, ms));
}

new Console();
