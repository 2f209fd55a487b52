// The head office's console: sign-in with a client's token, then one view at a time (the
// address's #fragment says which), kept live by the chain's change stream. This module holds
// what the views share (the session, the language, the connection's status) and routes
// between them; each view has its own module.

import { Api } from './api.js';
import { AlarmsView } from './alarms.js';
import { CampaignView, CampaignsView } from './campaigns.js';
import { Chain } from './chain.js';
import { $, el } from './dom.js';
import { EventStream, Status, renderConnection } from './events.js';
import { ReportsView } from './reports.js';
import { Retry, Stopped, linearDelay } from './retry.js';
import { StationView } from './station.js';
import { StationsView } from './stations.js';
import { chooseLanguage, describeError, translator } from './texts.js';

const kLanguageKey = 'fuel.hq.language';
const kTokenKey = 'fuel.hq.token';
const kAskAgainDelay = linearDelay(1000, 10000);

// "#station/north-17" -> {view: 'station', arg: 'north-17'}; anything unknown: the stations.
export function parseRoute(hash, views) {
    const [name, ...rest] = String(hash ?? '').replace(/^#/, '').split('/');
    if (!Object.hasOwn(views, name)) return { view: 'stations', arg: null };
    return { view: name, arg: rest.length ? decodeURIComponent(rest.join('/')) : null };
}

class HeadOffice {
    constructor() {
        this.lang = chooseLanguage(navigator.languages, localStorage.getItem(kLanguageKey));
        this.t = translator(this.lang);
        this.session = null;
        this.status = null;
        this.current = null;
        this.views = {
            stations: new StationsView(this),
            station: new StationView(this),
            reports: new ReportsView(this),
            campaigns: new CampaignsView(this),
            campaign: new CampaignView(this),
            alarms: new AlarmsView(this),
        };
        $('language').value = this.lang;
        $('language').addEventListener('change', (event) => this.setLanguage(event.target.value));
        $('sign-in-form').addEventListener('submit', (event) => {
            event.preventDefault();
            this.signIn($('token').value.trim(), true);
        });
        $('sign-out').addEventListener('click', () => this.signOut(''));
        window.addEventListener('hashchange', () => this.route());
        window.addEventListener('online', () => this.session?.stream?.retryNow());
        this.applyTexts();
        const token = sessionStorage.getItem(kTokenKey);
        if (token) this.signIn(token, false);
        else this.showSignIn('');
    }

    showSignIn(message) {
        for (const id of ['nav', 'who', 'sign-out', 'connection', 'stale']) $(id).hidden = true;
        for (const view of document.querySelectorAll('.view')) view.hidden = true;
        $('sign-in').hidden = false;
        $('sign-in-error').textContent = message;
        $('token').value = '';
        $('token').focus();
    }

    // A typed token's failure is said on the form; with the tab's stored one (a reload) the
    // page waits for the server to come back.
    async signIn(token, typed) {
        if (token === '') {
            $('sign-in-error').textContent = this.t('signIn.empty');
            return;
        }
        const api = new Api({ token });
        const session = { token, api, who: null, may: new Set(), chain: new Chain(api), stream: null };
        this.session = session;
        let who;
        try {
            who = await this.untilAnswered(session, () => api.get('/api/v1/client'), (error) => error.status === 401 || typed);
        } catch (error) {
            this.session = null;
            if (error.status === 401) {
                sessionStorage.removeItem(kTokenKey);
                this.showSignIn(this.t(typed ? 'signIn.unknown' : 'signIn.revoked'));
            } else {
                $('sign-in-error').textContent = this.t('signIn.failed', { message: describeError(this.lang, error).text });
            }
            return;
        }
        if (who === Stopped) return;
        session.who = who;
        session.may = new Set(who.permissions);
        sessionStorage.setItem(kTokenKey, token);
        $('sign-in').hidden = true;
        for (const id of ['nav', 'sign-out']) $(id).hidden = false;
        document.body.dataset.role = who.role;
        this.showWho();
        this.follow(session);
        this.route();
    }

    signOut(message) {
        const session = this.session;
        this.session = null;
        session?.stream?.stop();
        this.current?.hide();
        this.current = null;
        sessionStorage.removeItem(kTokenKey);
        this.showSignIn(message);
    }

    // The change stream: from now on (the views read what is there when they open), and
    // after a drop from the last change seen, so that none is missed.
    follow(session) {
        session.stream = new EventStream({
            url: '/api/v1/changes',
            token: session.token,
            after: null,
            onEvent: (change) => {
                if (this.session === session) this.current?.onChange(change);
            },
            onStatus: (status, detail) => {
                if (this.session !== session) return;
                const wasDown = this.status?.status === Status.Reconnecting;
                this.setStatus({ status, ...detail });
                // What changed while the page was away is read again.
                if (status === Status.Live && wasDown) this.route();
            },
            onReset: async () => null,
            onUnauthorised: () => this.signOut(this.t('signIn.revoked')),
        });
        session.stream.start();
    }

    untilAnswered(session, attempt, giveUp) {
        return new Retry({
            delayMs: (failures, error) => (giveUp(error) ? null : kAskAgainDelay(failures)),
            stopped: () => this.session !== session,
            onWait: (failures) => this.setStatus({ status: Status.Reconnecting, attempt: failures }),
        }).run(attempt);
    }

    route() {
        if (!this.session?.who) return;
        const { view, arg } = parseRoute(location.hash, this.views);
        this.current?.hide();
        this.current = this.views[view];
        for (const section of document.querySelectorAll('.view')) section.hidden = section.id !== `view-${view}`;
        const tab = view === 'station' ? 'stations' : view === 'campaign' ? 'campaigns' : view;
        for (const link of $('nav').querySelectorAll('a')) link.classList.toggle('current', link.dataset.view === tab);
        this.current.show(arg);
    }

    setLanguage(lang) {
        this.lang = lang;
        this.t = translator(lang);
        localStorage.setItem(kLanguageKey, lang);
        this.applyTexts();
        this.renderStatus();
        if (this.session?.who) this.route();
    }

    applyTexts() {
        document.documentElement.lang = this.lang;
        for (const node of document.querySelectorAll('[data-text]')) node.textContent = this.t(node.dataset.text);
        if (this.session?.who) this.showWho();
    }

    showWho() {
        const who = this.session.who;
        $('who').textContent = `${who.name} · ${this.t(`role.${who.role}`)}`;
        $('who').hidden = false;
    }

    setStatus(status) {
        this.status = status;
        this.renderStatus();
    }

    renderStatus() {
        renderConnection(this.status, Boolean(this.session), this.t);
    }

    // A failed read: a withdrawn token signs out; anything else is said for a while.
    fail(error) {
        if (error.status === 401) {
            this.signOut(this.t('signIn.revoked'));
            return;
        }
        this.toast('error', describeError(this.lang, error).text);
    }

    toast(kind, text) {
        const toast = el('div', { class: `toast ${kind}`, role: kind === 'error' ? 'alert' : 'status' },
            el('span', { text }), el('button', { type: 'button', class: 'dismiss', text: this.t('action.dismiss'), onclick: () => toast.remove() }));
        $('toasts').append(toast);
        setTimeout(() => toast.remove(), 8000);
    }
}

new HeadOffice();
