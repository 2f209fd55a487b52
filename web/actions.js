// What the client does to the forecourt: authorise, stop, close and open a fuel point, lock,
// unlock and clear a sale, set a grade's price, stop everything. The page learns each
// action's effect from the event stream like every other client's; here it only says how
// the request went.

import { describeError, formatPrice } from './i18n.js';

// What each action sends, and what the page says when it is done: [text key, params].
export const kActions = {
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
        // A nozzle whose controller takes no price is counted apart: it never holds one.
        done: (code, data, lang) => ['done.price', { grade: data.grade.name, price: formatPrice(lang, data.grade.price), count: data.nozzles.filter((n) => !n.takesNoPrice).length }],
        more: (data) => {
            const deferred = data.nozzles.filter((n) => n.deferred).length;
            const noPrice = data.nozzles.filter((n) => n.takesNoPrice).map((n) => n.fuelPoint);
            const more = [];
            if (deferred > 0) more.push(['done.priceDeferred', { count: deferred }]);
            if (noPrice.length > 0) more.push(['done.priceNotTaken', { count: noPrice.length, list: [...new Set(noPrice)].join(', ') }]);
            return more;
        },
    },
    emergency: { method: 'POST', path: () => '/api/v1/forecourt/emergency-stop', done: (target, data) => ['done.emergency', { list: data.fuelPoints.join(', ') || '—' }] },
};

export class Actions {
    // app: the console (console.js)
    constructor(app) {
        this.app = app;
    }

    // A tile's or a row's button: the authorisation and the price ask first.
    act(action, target) {
        const { session, dialogs } = this.app;
        const store = session?.store;
        if (action === 'authorise') return dialogs.openAuthorise(store.points.get(target));
        if (action === 'price') return dialogs.openPrice(store.grades.get(target));
        return this.send(action, target, {}, true);
    }

    // Sends an action and says how it went in a toast (failures too when no dialog shows
    // them). Resolves {ok, message}: the message for the dialog that asked.
    async send(action, target, body = {}, toastFailure = false) {
        const app = this.app;
        const request = kActions[action];
        try {
            const data = await app.session.api.change(request.method, request.path(target), body);
            const [key, params] = request.done(target, data, app.lang);
            const more = (request.more?.(data) ?? []).map(([moreKey, moreParams]) => app.t(moreKey, moreParams));
            app.toast('ok', app.t(key, params), more.join('; '));
            return { ok: true };
        } catch (error) {
            if (error.status === 401) {
                app.signIn.signOut(app.t('signIn.revoked'));
                return { ok: false, message: '' };
            }
            const { text, detail } = describeError(app.lang, error);
            if (toastFailure) app.toast('error', `${app.t('failed', { action: app.t(`action.${action}`) })}: ${text}`, detail);
            return { ok: false, message: detail ? `${text} (${detail})` : text };
        }
    }
}
