// The chain's alarms, newest first: not acknowledged, not cleared or all; acknowledged by
// those whose role may. Read again when a change tells of an alarm.

import { $, el } from './dom.js';
import { formatWhen } from './format.js';
import { describeError, has } from './texts.js';

export class AlarmsView {
    constructor(app) {
        this.app = app;
        $('alarms-state').addEventListener('change', () => this.refresh());
    }

    async show() {
        await this.refresh();
    }

    hide() {}

    onChange(change) {
        if (change.type === 'alarm') this.refresh();
    }

    async refresh() {
        const { session } = this.app;
        let page;
        try {
            page = await session.api.get(`/api/v1/alarms?state=${$('alarms-state').value}&limit=200`);
        } catch (error) {
            this.app.fail(error);
            return;
        }
        if (this.app.session !== session) return;
        this.alarms = page.alarms;
        this.render();
    }

    render() {
        const { t, lang, session } = this.app;
        const alarms = this.alarms ?? [];
        $('alarms-empty').hidden = alarms.length > 0;
        $('alarms').tBodies[0].replaceChildren(...alarms.map((alarm) => el('tr', { class: 'alarm', dataset: { alarm: alarm.id, kind: alarm.kind, acknowledged: alarm.acknowledgedAt ? 'yes' : 'no' } },
            el('td', { text: formatWhen(lang, alarm.raisedAt) }),
            el('td', {}, el('a', { href: `#station/${encodeURIComponent(alarm.station)}`, text: alarm.station })),
            // A kind of its own has the user's words; a station's alarm its own message.
            el('td', { text: has(lang, `alarm.${alarm.kind}`) ? t(`alarm.${alarm.kind}`) : alarm.message || alarm.kind }),
            el('td', { text: alarm.clearedAt ? formatWhen(lang, alarm.clearedAt) : t('alarms.notYet') }),
            el('td', { text: alarm.acknowledgedAt ? t('alarms.by', { at: formatWhen(lang, alarm.acknowledgedAt), by: alarm.acknowledgedBy }) : t('alarms.notYet') }),
            el('td', {}, !alarm.acknowledgedAt && session.may.has('acknowledge')
                ? el('button', { type: 'button', class: 'acknowledge', text: t('alarms.acknowledge'), onclick: () => this.acknowledge(alarm) })
                : null))));
    }

    async acknowledge(alarm) {
        const { session, lang } = this.app;
        try {
            await session.api.change('POST', `/api/v1/alarms/${alarm.id}/acknowledge`, {});
        } catch (error) {
            this.app.toast('error', describeError(lang, error).text);
        }
        await this.refresh();
    }
}
