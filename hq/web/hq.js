// The head office's console: sign-in with a client's token, then one view at a time (the
// address's #fragment says which), kept live by the chain's change stream. This module holds
// what the views share (the session, the language, the connection's status) and routes
// between them; each view has its own module.

import { AlarmsView } from './alarms.js';
import { CampaignView, CampaignsView } from './campaigns.js';
import { Chain } from './chain.js';
import { $, el } from './dom.js';
import { EventStream, Status, renderConnection } from './events.js';
import { ReportsView } from './reports.js';
import { Retry, linearDelay } from './retry.js';
import { SignIn } from './signin.js';
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
        window.addEventListener('hashchange', () => this.route());
        window.addEventListener('online', () => this.session?.stream?.retryNow());
        this.signIn = new SignIn(this, {
            tokenKey: kTokenKey,
            hidden: ['nav', 'who', 'sign-out', 'connection', 'stale'],
            describeError,
            session: (api) => ({ chain: new Chain(api), stream: null }),
            showing: () => {
                for (const view of document.querySelectorAll('.view')) view.hidden = true;
            },
            signedIn: (session) => {
                $('nav').hidden = false;
                document.body.dataset.role = session.who.role;
                this.follow(session);
                this.route();
            },
            signedOut: (session) => {
                session.stream?.stop();
                this.current?.hide();
                this.current = null;
            },
        });
        this.applyTexts();
        this.signIn.start();
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
            onUnauthorised: () => this.signIn.signOut(this.t('signIn.revoked')),
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
        if (this.session?.who) this.signIn.showWho();
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
            this.signIn.signOut(this.t('signIn.revoked'));
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
