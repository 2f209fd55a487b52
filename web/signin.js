// Signing in with a client's token, and out, for either console. The token stays in this
// tab's session storage: it goes with each request's Authorization header and never into a
// URL. The server says who the token is and what it may do; the page offers only that.

import { Api } from './api.js';
import { $ } from './dom.js';
import { Stopped } from './retry.js';

export class SignIn {
    // app: the console (its t, lang, session and untilAnswered). page: what the console
    // does around it:
    //   tokenKey: the session storage's key for the token;
    //   hidden: the ids hidden while signed out, the sign-in form shown instead;
    //   describeError(lang, error): the console's words for a failure;
    //   session(api): the session's own fields beside {token, api, who, may};
    //   showing(): before the form shows;
    //   signedIn(session): once the server said who the token is;
    //   signedOut(session): the session's work to stop.
    constructor(app, page) {
        this.app = app;
        this.page = page;
        $('sign-in-form').addEventListener('submit', (event) => {
            event.preventDefault();
            this.signIn($('token').value.trim(), true);
        });
        $('sign-out').addEventListener('click', () => this.signOut(''));
    }

    // With the tab's token (a reload), straight in.
    start() {
        const token = sessionStorage.getItem(this.page.tokenKey);
        if (token) this.signIn(token, false);
        else this.show('');
    }

    show(message) {
        this.page.showing?.();
        for (const id of this.page.hidden) $(id).hidden = true;
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
        const api = new Api({ token });
        const session = { token, api, who: null, may: new Set(), ...this.page.session(api) };
        app.session = session;
        let who;
        try {
            who = await app.untilAnswered(session, () => api.get('/api/v1/client'), (error) => error.status === 401 || typed);
        } catch (error) {
            app.session = null;
            if (error.status === 401) {
                sessionStorage.removeItem(this.page.tokenKey);
                this.show(app.t(typed ? 'signIn.unknown' : 'signIn.revoked'));
            } else {
                $('sign-in-error').textContent = app.t('signIn.failed', { message: this.page.describeError(app.lang, error).text });
            }
            return;
        }
        if (who === Stopped) return;
        session.who = who;
        sessionStorage.setItem(this.page.tokenKey, token);
        session.may = new Set(who.permissions);
        $('sign-in').hidden = true;
        $('sign-out').hidden = false;
        this.showWho();
        await this.page.signedIn(session);
    }

    showWho() {
        const who = this.app.session.who;
        $('who').textContent = `${who.name} · ${this.app.t(`role.${who.role}`)}`;
        $('who').hidden = false;
    }

    signOut(message) {
        const session = this.app.session;
        this.app.session = null;
        if (session) this.page.signedOut(session);
        sessionStorage.removeItem(this.page.tokenKey);
        this.show(message);
    }
}
