// The lines' health on the page: per line whether it answers and its counters, read from
// the server's /metrics every five seconds (not while the tab is hidden, once there is
// something to show) and at once when the event stream comes back.

import { $ } from './dom.js';
import { describeError } from './i18n.js';
import { lineHealth, parseMetrics } from './metrics.js';
import { renderLines } from './view.js';

const kPeriodMs = 5000;

export class Lines {
    // app: the console (console.js)
    constructor(app) {
        this.app = app;
        this.lines = [];
        this.timer = null;
    }

    start(session) {
        this.stop();
        this.refresh(session);
        this.timer = setInterval(() => this.refresh(session), kPeriodMs);
    }

    stop() {
        clearInterval(this.timer);
        this.timer = null;
    }

    async refresh(session) {
        const app = this.app;
        if (document.hidden && this.lines.length > 0) return;
        try {
            const text = await session.api.text('/metrics');
            if (app.session !== session) return;
            this.lines = lineHealth(parseMetrics(text));
            $('lines-error').textContent = '';
        } catch (error) {
            if (app.session !== session) return;
            $('lines-error').textContent = app.t('lines.unavailable', { message: describeError(app.lang, error).text });
        }
        this.render(app.ctx());
    }

    render(ctx) {
        renderLines(ctx, $('lines'), this.lines);
    }
}
