// Price campaigns: a new one's form, which asks the server as the user types what it would
// do (its targets, the grade's bounds, what would be held for approval: the rule lives in the
// server only); the list, newest first; and one campaign's progress, station by station, kept
// live by the change stream, with approve and cancel for those whose role may.

import { $, el } from './dom.js';
import { formatWhen } from './format.js';
import { describeError } from './texts.js';
import { formatPrice, parseNumber } from './words.js';

const kCheckDelayMs = 250;
const kOutcomes = ['pending', 'applied', 'failed', 'unreachable', 'superseded', 'cancelled'];

// The form's body as the API takes it; {error: key} for what the user must mend first.
export function campaignBody(form) {
    const price = parseNumber(form.price);
    if (price === null) return { error: 'campaign.badPrice' };
    if (form.stations.length === 0 && form.groups.length === 0) return { error: 'campaign.chooseTargets' };
    const body = { grade: form.grade, price, stations: form.stations, groups: form.groups };
    if (form.at) body.at = new Date(form.at).toISOString();
    if (form.note) body.note = form.note;
    return { body };
}

export function describeHeld(t, lang, held) {
    const price = (v) => (typeof v === 'number' ? formatPrice(lang, v) : '—');
    return t(`bound.${held.bound}`, { limit: price(held.limit), station: held.station ?? '', current: price(held.current) });
}

export class CampaignsView {
    constructor(app) {
        this.app = app;
        this.checkTimer = null;
        this.checked = 0; // the latest check asked: answers to older ones are dropped
        const form = $('campaign-form');
        form.addEventListener('input', () => this.scheduleCheck());
        form.addEventListener('change', () => this.scheduleCheck());
        form.addEventListener('submit', (event) => {
            event.preventDefault();
            this.send();
        });
    }

    async show() {
        const { session } = this.app;
        const may = session.may;
        $('campaign-form').hidden = !may.has('price');
        if (may.has('price')) {
            try {
                await session.chain.refreshAll();
            } catch (error) {
                this.app.fail(error);
            }
            this.fillForm();
        }
        await this.refresh();
    }

    hide() {
        clearTimeout(this.checkTimer);
    }

    onChange(change) {
        if (change.type === 'campaign') this.refresh();
    }

    fillForm() {
        const chain = this.app.session.chain;
        const grade = $('campaign-grade');
        const chosen = grade.value;
        grade.replaceChildren(...[...chain.grades()].map(([code, name]) => el('option', { value: code, text: name === code ? code : `${code} · ${name}` })));
        if (chosen) grade.value = chosen;
        const boxes = (id, values, name) => {
            const set = $(id);
            const ticked = new Set([...set.querySelectorAll('input:checked')].map((input) => input.value));
            set.replaceChildren(set.querySelector('legend'), ...values.map((value) => el('label', {},
                el('input', { type: 'checkbox', name, value, checked: ticked.has(value) }), ' ', value)));
        };
        boxes('campaign-groups', chain.groups(), 'group');
        boxes('campaign-stations', chain.stations.map((s) => s.id), 'station');
    }

    formValues() {
        const ticked = (id) => [...$(id).querySelectorAll('input:checked')].map((input) => input.value);
        return {
            grade: $('campaign-grade').value,
            price: $('campaign-price').value,
            at: $('campaign-at').value,
            note: $('campaign-note').value.trim(),
            groups: ticked('campaign-groups'),
            stations: ticked('campaign-stations'),
        };
    }

    scheduleCheck() {
        clearTimeout(this.checkTimer);
        this.checkTimer = setTimeout(() => this.check(), kCheckDelayMs);
    }

    async check() {
        const { session, t, lang } = this.app;
        const number = ++this.checked;
        const out = $('campaign-check');
        $('campaign-error').textContent = '';
        const { body, error } = campaignBody(this.formValues());
        if (error) {
            out.replaceChildren(el('p', { class: 'muted', text: t(error) }));
            out.dataset.state = 'incomplete';
            return;
        }
        let answer;
        try {
            answer = await session.api.change('POST', '/api/v1/price-campaigns/check', body);
        } catch (failure) {
            if (number !== this.checked) return;
            out.replaceChildren(el('p', { class: 'error', text: describeError(lang, failure).text }));
            out.dataset.state = 'refused';
            return;
        }
        if (number !== this.checked || this.app.session !== session) return;
        const bounds = answer.bounds ?? {};
        const price = (v) => (typeof v === 'number' ? formatPrice(lang, v) : t('campaign.noBound'));
        const held = answer.held ?? [];
        out.dataset.state = held.length ? 'held' : 'clear';
        out.replaceChildren(
            el('p', { class: 'targets', text: t('campaign.targets', { count: answer.targets.length, stations: answer.targets.join(', ') }) }),
            el('p', { class: 'bounds', text: t('campaign.bounds', { grade: body.grade, lowest: price(bounds.lowest), highest: price(bounds.highest), change: price(bounds.largestChange) }) }),
            el('ul', { class: 'current' }, ...Object.entries(answer.current ?? {}).map(([station, value]) => el('li', { text: t('campaign.current', { station, price: price(value) }) }))),
            held.length
                ? el('div', { class: 'held' }, el('p', { text: t('campaign.wouldHold') }), el('ul', {}, ...held.map((h) => el('li', { dataset: { bound: h.bound }, text: describeHeld(t, lang, h) }))))
                : el('p', { class: 'clear', text: t('campaign.withinBounds') }));
        $('campaign-send').textContent = t(held.length ? 'campaign.sendHeld' : 'campaign.send');
    }

    async send() {
        const { session, t, lang } = this.app;
        const { body, error } = campaignBody(this.formValues());
        if (error) {
            $('campaign-error').textContent = t(error);
            return;
        }
        $('campaign-send').disabled = true;
        try {
            const campaign = await session.api.change('POST', '/api/v1/price-campaigns', body);
            this.app.toast('info', t('campaign.sent', { id: campaign.id }));
            location.hash = `#campaign/${campaign.id}`;
        } catch (failure) {
            const { text, detail } = describeError(lang, failure);
            $('campaign-error').textContent = detail ? `${text} ${detail}` : text;
        } finally {
            $('campaign-send').disabled = false;
        }
    }

    async refresh() {
        const { session, t, lang } = this.app;
        let page;
        try {
            page = await session.api.get('/api/v1/price-campaigns?limit=50');
            $('campaigns-error').textContent = '';
        } catch (error) {
            $('campaigns-error').textContent = describeError(lang, error).text;
            return;
        }
        if (this.app.session !== session) return;
        $('campaigns-empty').hidden = page.campaigns.length > 0;
        $('campaigns').hidden = page.campaigns.length === 0;
        $('campaigns').tBodies[0].replaceChildren(...page.campaigns.map((c) => el('tr', { class: 'campaign', dataset: { campaign: c.id, state: c.state } },
            el('td', {}, el('a', { href: `#campaign/${c.id}`, text: String(c.id) })),
            el('td', { text: c.grade }),
            el('td', { class: 'number', text: formatPrice(lang, c.price) }),
            el('td', {}, el('span', { class: `campaign-state ${c.state}`, text: t(`campaignState.${c.state}`) })),
            el('td', {}, progressBar(t, c.counts)),
            el('td', { text: c.createdBy }),
            el('td', { text: formatWhen(lang, c.createdAt) }))));
    }
}

function progressBar(t, counts = {}) {
    const all = kOutcomes.reduce((sum, k) => sum + (counts[k] ?? 0), 0);
    return el('span', { class: 'progress', title: t('campaign.counts', { applied: counts.applied ?? 0, all }) },
        ...kOutcomes.filter((k) => counts[k]).map((k) => el('span', { class: `part ${k}`, style: null, dataset: { outcome: k, count: counts[k] }, text: String(counts[k]) })));
}

export class CampaignView {
    constructor(app) {
        this.app = app;
        this.id = null;
        this.campaign = null;
        $('campaign-approve').addEventListener('click', () => this.act('approve'));
        $('campaign-cancel').addEventListener('click', () => this.act('cancel'));
    }

    async show(id) {
        this.id = id;
        this.campaign = null;
        $('campaign-outcomes').tBodies[0].replaceChildren();
        $('campaign-action-error').textContent = '';
        await this.refresh();
    }

    hide() {
        this.id = null;
    }

    onChange(change) {
        if (change.type === 'campaign' && String(change.data?.id) === String(this.id)) this.refresh();
    }

    async refresh() {
        const { session, lang } = this.app;
        const id = this.id;
        try {
            const campaign = await session.api.get(`/api/v1/price-campaigns/${encodeURIComponent(id)}`);
            if (this.id !== id || this.app.session !== session) return;
            this.campaign = campaign;
        } catch (error) {
            $('campaign-action-error').textContent = describeError(lang, error).text;
            return;
        }
        this.render();
    }

    async act(action) {
        const { session, lang } = this.app;
        $('campaign-action-error').textContent = '';
        try {
            this.campaign = await session.api.change('POST', `/api/v1/price-campaigns/${this.campaign.id}/${action}`, {});
            this.render();
        } catch (error) {
            $('campaign-action-error').textContent = describeError(lang, error).text;
        }
    }

    render() {
        const { t, lang, session } = this.app;
        const c = this.campaign;
        if (!c) return;
        $('view-campaign').dataset.state = c.state;
        $('campaign-title').textContent = t('campaign.title', { id: c.id, grade: c.grade, price: formatPrice(lang, c.price) });
        const parts = [t('campaign.summary', { state: t(`campaignState.${c.state}`), by: c.createdBy, at: formatWhen(lang, c.createdAt) })];
        if (c.at) parts.push(t('campaign.when', { at: formatWhen(lang, c.at) }));
        if (c.approvedBy) parts.push(t('campaign.approvedBy', { by: c.approvedBy }));
        if (c.cancelledBy) parts.push(t('campaign.cancelledBy', { by: c.cancelledBy }));
        const all = kOutcomes.reduce((sum, k) => sum + (c.counts?.[k] ?? 0), 0);
        $('campaign-summary').replaceChildren(
            el('p', { class: `campaign-state ${c.state}`, text: parts.join(' · ') }),
            c.note ? el('p', {}, el('q', { text: c.note })) : null,
            el('p', { class: 'counts' }, progressBar(t, c.counts), ' ', t('campaign.counts', { applied: c.counts?.applied ?? 0, all })));
        const held = c.held ?? [];
        $('campaign-held').hidden = held.length === 0;
        $('campaign-held').replaceChildren(el('p', { text: c.approvedBy ? t('campaign.approvedDespite', { by: c.approvedBy }) : t('campaign.heldBecause') }),
            el('ul', {}, ...held.map((h) => el('li', { dataset: { bound: h.bound }, text: describeHeld(t, lang, h) }))));
        // The author is told by the server if they try; the button is for those who may.
        $('campaign-approve').hidden = !(session.may.has('approve') && c.state === 'held' && c.createdBy !== session.who.name);
        const open = (c.outcomes ?? []).some((o) => o.state === 'pending' || o.state === 'unreachable');
        $('campaign-cancel').hidden = !(session.may.has('price') && (c.state === 'held' || c.state === 'scheduled' || open));
        $('campaign-outcomes').tBodies[0].replaceChildren(...(c.outcomes ?? []).map((o) => el('tr', { class: 'outcome', dataset: { station: o.station, state: o.state } },
            el('td', {}, el('a', { href: `#station/${encodeURIComponent(o.station)}`, text: o.station })),
            el('td', {}, el('span', { class: `outcome-state ${o.state}`, text: t(`outcome.${o.state}`) })),
            el('td', { text: [o.reason, o.message].filter(Boolean).join(': ') }),
            el('td', { class: 'number', text: String(o.attempts ?? 0) }),
            el('td', { text: o.answeredAt ? formatWhen(lang, o.answeredAt) : '—' }))));
    }
}
