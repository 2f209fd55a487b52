// One station: its fuel points as the head office last heard of them, its prices, its sales
// waiting and today's sales. The change stream tells only of a station's status and alarms,
// so the page reads the station again when a change names it and every two seconds besides.

import { $, el } from './dom.js';
import { gradesOf } from './chain.js';
import { formatWhen } from './format.js';
import { healthOf, problemsOf } from './stations.js';
import { formatMoney, formatPrice, formatVolume } from './words.js';

const kEveryMs = 2000;

// Midnight of the browser's today, as the API's time: "today" is the user's.
export function startOfToday(now = new Date()) {
    return new Date(now.getFullYear(), now.getMonth(), now.getDate()).toISOString();
}

export class StationView {
    constructor(app) {
        this.app = app;
        this.id = null;
        this.timer = null;
        this.detail = null;
        this.today = null;
    }

    async show(id) {
        this.id = id;
        this.detail = null;
        $('station-title').textContent = this.app.t('station.title', { id });
        for (const id of ['station-points', 'station-health']) $(id).replaceChildren();
        await this.refresh();
        this.timer = setInterval(() => this.refresh(), kEveryMs);
    }

    hide() {
        clearInterval(this.timer);
        this.timer = null;
        this.id = null;
    }

    onChange(change) {
        if (change.station === this.id) this.refresh();
    }

    async refresh() {
        const { session } = this.app;
        const id = this.id;
        const path = encodeURIComponent(id);
        const from = encodeURIComponent(startOfToday());
        try {
            const [detail, sales, totals] = await Promise.all([
                session.api.get(`/api/v1/stations/${path}`),
                session.api.get(`/api/v1/sales?station=${path}&from=${from}&limit=50`),
                session.api.get(`/api/v1/reports/sales?station=${path}&from=${from}`),
            ]);
            if (this.app.session !== session || this.id !== id) return;
            this.detail = detail;
            this.today = { sales: sales.sales, totals: totals.rows[0] };
        } catch (error) {
            if (this.id === id) this.app.fail(error);
            return;
        }
        this.render();
    }

    render() {
        if (!this.detail) return;
        const { t, lang } = this.app;
        const { station, fuelPoints, waitingSales } = this.detail;
        const health = healthOf(station);
        const problems = problemsOf(station);
        $('station-title').textContent = t('station.title', { id: station.id });
        $('station-health').replaceChildren(
            el('span', { class: `health ${health}`, text: problems.length ? problems.map((p) => t(`health.${p}`, { lag: station.lag })).join(' · ') : t(station.status === 'online' ? 'health.ok' : 'health.unknown') }),
            ' ', station.statusSince ? t('station.since', { time: formatWhen(lang, station.statusSince) }) : '',
            ' · ', t('station.lastEvent', { time: station.lastEventAt ? formatWhen(lang, station.lastEventAt) : t('never') }),
            station.version ? ` · ${t('station.version', { version: station.version })}` : '');
        const grades = gradesOf(this.detail);
        const names = new Map(grades.map((g) => [g.code, g.name]));
        $('station-points').replaceChildren(...(fuelPoints.length ? fuelPoints.map((point) => this.tile(point, names)) : [el('p', { class: 'empty', text: t('station.noPoints') })]));
        $('station-prices').tBodies[0].replaceChildren(...grades.map((g) => el('tr', { dataset: { grade: g.code } },
            el('td', { text: g.code }), el('td', { text: g.name }), el('td', { class: 'number price', text: formatPrice(lang, g.price) }),
            el('td', { class: 'muted', text: g.at ? formatWhen(lang, g.at) : '' }))));
        $('station-waiting-empty').hidden = waitingSales.length > 0;
        $('station-waiting').tBodies[0].replaceChildren(...waitingSales.map((sale) => this.saleRow(sale, names)));
        const totals = this.today.totals ?? { count: 0, volume: 0, amount: 0 };
        $('station-today-total').textContent = t('station.todayTotal', { count: totals.count, volume: formatVolume(lang, totals.volume), amount: formatMoney(lang, totals.amount) });
        $('station-today-total').dataset.count = String(totals.count);
        $('station-today').tBodies[0].replaceChildren(...this.today.sales.map((sale) => this.saleRow(sale, names)));
    }

    tile(point, names) {
        const { t, lang } = this.app;
        const state = point.closed && point.state === 'IDLE' ? 'CLOSED' : point.state;
        const fill = point.fill;
        return el('article', { class: 'tile', dataset: { point: point.id, state } },
            el('header', {}, el('h3', { text: t('tile.pump', { id: point.id }) }), el('span', { class: 'state', text: t(`state.${state}`) })),
            fill && (state === 'FUELLING' || state === 'AUTHORISED')
                ? el('p', { class: 'fill', text: t('tile.fill', { volume: formatVolume(lang, fill.volume), amount: formatMoney(lang, fill.amount) }) })
                : null,
            el('ul', { class: 'nozzles' }, ...(point.nozzles ?? []).map((n) => el('li', {},
                t('tile.nozzle', { nozzle: n.number, grade: names.get(n.grade) ?? n.grade ?? '' }),
                typeof n.price === 'number' ? el('span', { class: 'number', text: formatPrice(lang, n.price) }) : null))),
            point.unclearedSales ? el('p', { class: 'uncleared', text: t('tile.uncleared', { count: point.unclearedSales }) }) : null,
            el('p', { class: 'muted at', text: t('tile.at', { time: formatWhen(lang, point.at) }) }));
    }

    saleRow(sale, names) {
        const { t, lang } = this.app;
        return el('tr', { class: 'sale', dataset: { sale: sale.id, state: sale.state } },
            el('td', { text: formatWhen(lang, sale.endedAt) }),
            el('td', { text: t('tile.pump', { id: sale.fuelPoint }) }),
            el('td', { text: names.get(sale.grade) ?? sale.grade }),
            el('td', { class: 'number', text: t('sale.volume', { volume: formatVolume(lang, sale.volume) }) }),
            el('td', { class: 'number', text: formatMoney(lang, sale.amount) }),
            el('td', { class: `sale-state ${sale.state}`, text: t(`sale.${sale.state}`) }));
    }
}
