// The stations' list: each with its health told by colour and word, its last event, its lag
// and its open alarms, filtered by group and by problem. Read again when a change names a
// station or an alarm, and every few seconds (the lag moves without a change of its own).

import { $, el } from './dom.js';
import { formatWhen } from './format.js';

export const Problems = ['offline', 'silent', 'lagging', 'alarms'];

// What is wrong with a station, in the order the filter offers them.
export function problemsOf(station) {
    const problems = [];
    if (station.status === 'offline') problems.push('offline');
    if (station.silent) problems.push('silent');
    if (station.lag > 0 || station.gapSince) problems.push('lagging');
    if (station.openAlarms > 0) problems.push('alarms');
    return problems;
}

// The colour: red for a station the office cannot hear, amber for one it hears with a
// problem, green for one that is fine, grey for one never heard from.
export function healthOf(station) {
    const problems = problemsOf(station);
    if (problems.includes('offline') || problems.includes('silent')) return 'bad';
    if (problems.length > 0) return 'warn';
    return station.status === 'online' ? 'ok' : 'unknown';
}

export function filterStations(stations, group, problem) {
    return stations.filter((s) => (!group || s.groups.includes(group)) && (!problem || problemsOf(s).includes(problem)));
}

const kEveryMs = 5000;

export class StationsView {
    constructor(app) {
        this.app = app;
        this.timer = null;
        $('filter-group').addEventListener('change', () => this.render());
        $('filter-problem').addEventListener('change', () => this.render());
    }

    async show() {
        this.fillProblems();
        await this.refresh();
        this.timer = setInterval(() => this.refresh(), kEveryMs);
    }

    hide() {
        clearInterval(this.timer);
        this.timer = null;
    }

    onChange(change) {
        if (change.type === 'station' || change.type === 'alarm') this.refresh();
    }

    async refresh() {
        const session = this.app.session;
        try {
            await session.chain.refresh();
        } catch (error) {
            this.app.fail(error);
            return;
        }
        if (this.app.session === session) this.render();
    }

    // The choices made again only when their words or the groups change: a list open under
    // the user's pointer stays open through a refresh.
    fillProblems() {
        const t = this.app.t;
        const select = $('filter-problem');
        if (select.dataset.lang === this.app.lang) return;
        select.dataset.lang = this.app.lang;
        const chosen = select.value;
        select.replaceChildren(el('option', { value: '', text: t('filter.any') }), ...Problems.map((p) => el('option', { value: p, text: t(`filter.${p}`) })));
        select.value = chosen;
    }

    render() {
        const { t, lang } = this.app;
        const chain = this.app.session.chain;
        const groupSelect = $('filter-group');
        const groups = chain.groups();
        const key = `${this.app.lang}|${groups.join('|')}`;
        if (groupSelect.dataset.key !== key) {
            groupSelect.dataset.key = key;
            const group = groupSelect.value;
            groupSelect.replaceChildren(el('option', { value: '', text: t('filter.allGroups') }), ...groups.map((g) => el('option', { value: g, text: g })));
            groupSelect.value = groups.includes(group) ? group : '';
        }
        this.fillProblems();
        const shown = filterStations(chain.stations, groupSelect.value, $('filter-problem').value);
        $('stations').tBodies[0].replaceChildren(...shown.map((station) => {
            const health = healthOf(station);
            const problems = problemsOf(station);
            const words = problems.length === 0
                ? [t(station.status === 'online' ? 'health.ok' : 'health.unknown')]
                : problems.map((p) => t(`health.${p}`, { lag: station.lag }));
            return el('tr', { class: 'station', dataset: { station: station.id, health } },
                el('td', {}, el('a', { href: `#station/${encodeURIComponent(station.id)}`, text: station.id })),
                el('td', { text: station.groups.join(', ') }),
                el('td', {}, el('span', { class: `health ${health}`, text: words.join(' · ') })),
                el('td', { text: station.lastEventAt ? formatWhen(lang, station.lastEventAt) : t('never') }),
                el('td', { class: 'number lag', text: String(station.lag) }),
                el('td', { class: `number alarms${station.openAlarms > 0 ? ' some' : ''}`, text: String(station.openAlarms) }));
        }));
        $('stations-empty').hidden = shown.length > 0;
        $('stations-count').textContent = t('stations.count', { shown: shown.length, all: chain.stations.length });
    }
}
