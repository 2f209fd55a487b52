// Signing in with a client's token, and out. The token stays in this tab's session storage:
// it goes with each request's Authorization header and never into a URL. The server says
// who the token is and what it may do; the page offers only that.

import { Api } from './api.js';
import { $ } from './dom.js';
import { describeError } from './i18n.js';
import { Stopped } from './retry.js';

const kTokenKey = 'fuel.token';

export class SignIn {
    // app: the console (console.js)
    constructor(app) {
        this.app = app;
        $('sign-in-form').addEventListener('submit', (event) => {
            event.preventDefault();
            this.signIn($('token').value.trim(), true);
        });
        $('sign-out').addEventListener('click', () => this.signOut(''));
    }

    // With the tab's token (a reload), straight in.
    start() {
        const token = sessionStorage.getItem(kTokenKey);
        if (token) this.signIn(token, false);
        else this.show('');
    }

    show(message) {
        // The alarms this tab kept were for whoever was signed in: the next one starts afresh.
        this.app.alarms.clear();
        this.app.renderAlarms();
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
        const app = this.app;
        if (token === '') {
            $('sign-in-error').textContent = app.t('signIn.empty');
            return;
        }
        const session = { token, api: new Api({ token }), who: null, may: new Set(), store: null, stream: null };
        app.session = session;
        let who;
        try {
            who = await app.untilAnswered(session, () => session.api.get('/api/v1/client'), (error) => error.status === 401 || typed);
        } catch (error) {
            app.session = null;
            if (error.status === 401) {
                sessionStorage.removeItem(kTokenKey);
                this.show(app.t(typed ? 'signIn.unknown' : 'signIn.revoked'));
            } else {
                $('sign-in-error').textContent = app.t('signIn.failed', { message: describeError(app.lang, error).text });
            }
            return;
        }
        if (who === Stopped) return;
        session.who = who;
        sessionStorage.setItem(kTokenKey, token);
        session.may = new Set(who.permissions);
        $('sign-in').hidden = true;
        $('console').hidden = false;
        $('sign-out').hidden = false;
        $('emergency').hidden = !session.may.has('emergency-stop');
        this.showWho();
        await app.loading.start(session);
    }

    showWho() {
        const who = this.app.session.who;
        $('who').textContent = `${who.name} · ${this.app.t(`role.${who.role}`)}`;
        $('who').hidden = false;
    }

    signOut(message) {
        const app = this.app;
        const session = app.session;
        app.session = null;
        if (session) app.loading.stop(session);
        sessionStorage.removeItem(kTokenKey);
        app.dialogs.closeAll();
        app.board.clear();
        this.show(message);
    }
}
