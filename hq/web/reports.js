// Sales per day over a chosen period, for every station, one or a group, and every grade or
// one: a bar chart drawn by the page, the table beside it, and the same rows as CSV.

import { barChart } from './chart.js';
import { $, el } from './dom.js';
import { daysBetween, formatDay, nextDay, utcDay } from './format.js';
import { describeError } from './texts.js';
import { formatMoney, formatNumber, formatVolume } from './words.js';

// The report's rows for every day of the period, the days without sales as zeros.
export function everyDay(rows, from, to) {
    const byDay = new Map(rows.map((row) => [row.day, row]));
    return daysBetween(from, to).map((day) => byDay.get(day) ?? { day, volume: 0, amount: 0, count: 0 });
}

// RFC 4180: a header line, then one line per day, CRLF; numbers as the API gives them.
export function toCsv(days) {
    const lines = ['day,volume,amount,count', ...days.map((d) => `${d.day},${d.volume},${d.amount},${d.count}`)];
    return `${lines.join('\r\n')}\r\n`;
}

export class ReportsView {
    constructor(app) {
        this.app = app;
        this.days = null;
        const today = new Date();
        const weekAgo = new Date(today.getTime() - 6 * 86400000);
        $('report-from').value = utcDay(weekAgo);
        $('report-to').value = utcDay(today);
        $('report-form').addEventListener('submit', (event) => {
            event.preventDefault();
            this.load();
        });
        $('report-measure').addEventListener('change', () => this.render());
        $('report-csv').addEventListener('click', () => this.download());
    }

    async show() {
        const { session, t } = this.app;
        try {
            await session.chain.refreshAll();
        } catch (error) {
            this.app.fail(error);
        }
        const chain = session.chain;
        const scope = $('report-scope');
        const chosenScope = scope.value;
        scope.replaceChildren(el('option', { value: '', text: t('report.allStations') }),
            ...chain.groups().map((g) => el('option', { value: `group:${g}`, text: t('report.groupOption', { group: g }) })),
            ...chain.stations.map((s) => el('option', { value: `station:${s.id}`, text: s.id })));
        scope.value = chosenScope;
        const grade = $('report-grade');
        const chosenGrade = grade.value;
        grade.replaceChildren(el('option', { value: '', text: t('report.allGrades') }),
            ...[...chain.grades()].map(([code, name]) => el('option', { value: code, text: name === code ? code : `${code} · ${name}` })));
        grade.value = chosenGrade;
        await this.load();
    }

    hide() {}

    onChange() {}

    query() {
        const from = $('report-from').value;
        const to = $('report-to').value;
        const params = new URLSearchParams({ from: `${from}T00:00:00Z`, to: `${nextDay(to)}T00:00:00Z`, by: 'day' });
        const [kind, name] = $('report-scope').value.split(/:(.*)/s);
        if (kind === 'station' || kind === 'group') params.set(kind, name);
        if ($('report-grade').value) params.set('grade', $('report-grade').value);
        return { from, to, params };
    }

    async load() {
        const { session, t, lang } = this.app;
        const { from, to, params } = this.query();
        $('report-error').textContent = '';
        if (!from || !to || to < from) {
            $('report-error').textContent = t('report.badPeriod');
            return;
        }
        try {
            const report = await session.api.get(`/api/v1/reports/sales?${params}`);
            if (this.app.session !== session) return;
            this.days = everyDay(report.rows, from, to);
            this.name = `sales-${from}-${to}${params.has('station') ? `-${params.get('station')}` : ''}${params.has('group') ? `-${params.get('group')}` : ''}${params.has('grade') ? `-${params.get('grade')}` : ''}.csv`;
        } catch (error) {
            $('report-error').textContent = describeError(lang, error).text;
            return;
        }
        this.render();
    }

    render() {
        if (!this.days) return;
        const { t, lang } = this.app;
        const measure = $('report-measure').value;
        const format = { amount: (v) => formatMoney(lang, v), volume: (v) => formatVolume(lang, v), count: (v) => formatNumber(lang, v, 0) }[measure];
        const scaleFormat = measure === 'count' ? format : (v) => formatNumber(lang, v, 0);
        const points = this.days.map((d) => ({ label: d.day, shortLabel: formatDay(lang, d.day), value: d[measure], valueLabel: format(d[measure]), title: `${formatDay(lang, d.day)}: ${format(d[measure])}` }));
        $('report-chart').replaceChildren(barChart({ points, format: scaleFormat, title: t('report.chartTitle', { measure: t(`report.${measure}`) }) }));
        const table = $('report-table');
        table.tBodies[0].replaceChildren(...this.days.map((d) => el('tr', { dataset: { day: d.day } },
            el('td', { text: formatDay(lang, d.day) }), el('td', { class: 'number', text: formatVolume(lang, d.volume) }),
            el('td', { class: 'number', text: formatMoney(lang, d.amount) }), el('td', { class: 'number', text: String(d.count) }))));
        const sum = (key) => this.days.reduce((total, d) => total + d[key], 0);
        table.tFoot.replaceChildren(el('tr', {}, el('th', { text: t('report.total') }), el('th', { class: 'number', text: formatVolume(lang, sum('volume')) }),
            el('th', { class: 'number', text: formatMoney(lang, sum('amount')) }), el('th', { class: 'number total-count', text: String(sum('count')) })));
        $('report-csv').disabled = false;
    }

    download() {
        const url = URL.createObjectURL(new Blob([toCsv(this.days)], { type: 'text/csv' }));
        const link = el('a', { href: url, download: this.name });
        document.body.append(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(url), 10000);
    }
}
