// The forecourt loaded and kept live: the snapshot and the sales waiting, then the event
// stream from the snapshot's last event on, each event drawn as it comes. While the server
// is away the page says so and tries again; when the journal is not the one the page knew,
// it loads again.

import { $ } from './dom.js';
import { EventStream, Status } from './events.js';
import { formatPrice, has } from './i18n.js';
import { Stopped } from './retry.js';
import { Store } from './store.js';
import { renderGrades, renderSales } from './view.js';

export class Loading {
    // app: the console (console.js)
    constructor(app) {
        this.app = app;
    }

    async load(session) {
        const app = this.app;
        const snapshot = await session.api.get('/api/v1/forecourt');
        const [payable, locked] = await Promise.all([
            session.api.get('/api/v1/sales?state=PAYABLE&limit=1000'),
            session.api.get('/api/v1/sales?state=LOCKED&limit=1000'),
        ]);
        if (app.session !== session) return;
        const store = new Store();
        store.loadSnapshot(snapshot);
        // What the price reports said of the nozzles outlives a reload of the forecourt.
        if (session.store) store.noPrice = session.store.noPrice;
        store.loadSales([...payable.sales, ...locked.sales]);
        session.store = store;
        app.board.clear();
        app.renderAll();
    }

    async start(session) {
        const app = this.app;
        app.setStatus({ status: Status.Connecting });
        try {
            if (await app.untilAnswered(session, () => this.load(session), (error) => error.status === 401) === Stopped) return;
        } catch {
            return app.signIn.signOut(app.t('signIn.revoked')); // the token was withdrawn
        }
        if (app.session !== session) return;
        session.stream = new EventStream({
            url: '/api/v1/events',
            token: session.token,
            after: session.store.sequence,
            onEvent: (event) => this.onEvent(session, event),
            onStatus: (status, detail) => {
                if (app.session !== session) return;
                const wasDown = app.status?.status === Status.Reconnecting;
                app.setStatus({ status, ...detail });
                if (status === Status.Live && wasDown) app.lines.refresh(session);
            },
            onReset: async () => {
                await this.load(session);
                return session.store.sequence;
            },
            onUnauthorised: () => app.signIn.signOut(app.t('signIn.revoked')),
        });
        session.stream.start();
        app.lines.start(session);
    }

    stop(session) {
        session.stream?.stop();
        this.app.lines.stop();
    }

    onEvent(session, event) {
        const app = this.app;
        if (app.session !== session || !session.store) return;
        // What the page missed is no longer kept: it reads the forecourt again, and the
        // stream goes on from the reload's id.
        if (event.type === 'reload') {
            app.untilAnswered(session, () => this.load(session), (error) => error.status === 401).catch(() => {});
            return;
        }
        const changed = session.store.apply(event);
        const ctx = app.ctx();
        if (changed.sales) {
            renderSales(ctx, $('sales'), $('sales-empty'));
            app.board.render(ctx); // the tiles count their waiting sales
        } else if (changed.points.length > 0) {
            app.board.render(ctx, changed.points);
        }
        if (changed.grades) renderGrades(ctx, $('grades').tBodies[0]);
        if (changed.alarm) app.raiseAlarm(changed.alarm);
        if (changed.notice) {
            const params = { ...changed.notice.params };
            if (params.reason !== undefined) params.reason = has(app.lang, `reason.${params.reason}`) ? app.t(`reason.${params.reason}`) : params.reason;
            if (typeof params.price === 'number') params.price = formatPrice(app.lang, params.price);
            app.toast('info', app.t(changed.notice.key, params));
        }
    }
}
