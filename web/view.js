// How the forecourt looks: one tile per fuel point, the sales waiting, the grades and the
// lines. Each function copies the store's state onto its part of the page; the buttons it
// makes call back through ctx.act(action, target).

import { alarmText } from './alarms.js';
import { el, setText } from './dom.js';
import { formatMoney, formatNumber, formatPrice, formatTime, formatVolume } from './i18n.js';

const kRunning = new Set(['AUTHORISED', 'FUELLING']);
const kDead = new Set(['OFFLINE', 'ERROR', 'CLOSED']);

// Who started the fill running on a fuel point: 'api' (a till), 'pump' (the pump itself, as
// the fuel point is set up to: release = pump), 'unauthorised' (the pump, though a till should
// have released it: a manual release, a controller left in stand-alone); null: no fill.
export function fillOrigin(point) {
    const fill = point.fill;
    if (!fill) return null;
    if (fill.authorised !== false) return 'api';
    return point.release === 'pump' ? 'pump' : 'unauthorised';
}

// The marks of a sale in the list: started at the pump (and whether a till should have
// released it), and an amount the server worked out because the controller gave none.
export function saleMarks(sale, point) {
    const marks = [];
    if (sale.origin === 'pump') marks.push(point?.release === 'pump' ? 'pump' : 'unauthorised');
    if (sale.amountComputed) marks.push('computed');
    return marks;
}

// The buttons a fuel point offers this client now. A fuel point whose fills start at the
// pump has nothing to authorise or stop.
export function tileActions(point, may, waitingSales) {
    const actions = [];
    if (may.has('sell') && point.release !== 'pump') {
        if (!point.closed && (point.state === 'IDLE' || point.state === 'CALLING')) {
            actions.push({ action: 'authorise', disabled: waitingSales >= point.saleBuffer });
        }
        if (kRunning.has(point.state)) actions.push({ action: 'stop' });
    }
    if (may.has('close')) actions.push({ action: point.closed ? 'open' : 'close' });
    return actions;
}

function presetText(ctx, preset) {
    if (!preset || preset.kind === 'none') return ctx.t('preset.none');
    const value = preset.kind === 'money' ? formatMoney(ctx.lang, preset.value) : formatVolume(ctx.lang, preset.value);
    return ctx.t(`preset.${preset.kind}`, { value });
}

// What the tile says above its figures: the state's hint, except where the fill running or
// the fuel point's way of starting says more.
function tileHint(ctx, point, origin) {
    const { t } = ctx;
    const state = point.state;
    if (kDead.has(state)) return ctx.has(`hint.${state}`) ? t(`hint.${state}`) : '';
    if (origin === 'unauthorised') return t('hint.unauthorised');
    if (point.release === 'pump' && origin === null) return t('hint.pumpRelease');
    if (state === 'AUTHORISED' && point.fill?.nozzle) return '';
    return ctx.has(`hint.${state}`) ? t(`hint.${state}`) : '';
}

function nozzlePrice(ctx, point, nozzle) {
    if (ctx.store.takesNoPrice(point.id, nozzle.number)) {
        return el('span', { class: 'p no-price', text: ctx.t('tile.noPrice'), title: ctx.t('tile.noPriceTitle') });
    }
    // 0: no controller has confirmed a price for it yet.
    return el('span', { class: 'p', text: nozzle.price > 0 ? formatPrice(ctx.lang, nozzle.price) : '—' });
}

function makeTile() {
    const parts = {
        number: el('span', { class: 'number' }),
        name: el('span', { class: 'visually-hidden' }),
        badge: el('span', { class: 'badge' }),
        hint: el('p', { class: 'hint' }),
        nozzle: el('p', { class: 'nozzle' }),
        volumeLabel: el('span', { class: 'label' }),
        volume: el('span', { class: 'value volume' }),
        amountLabel: el('span', { class: 'label' }),
        amount: el('span', { class: 'value amount' }),
        details: el('p', { class: 'details' }),
        nozzles: el('ul', { class: 'nozzles' }),
        sales: el('p', { class: 'waiting' }),
        actions: el('div', { class: 'actions' }),
    };
    // As a pump's own display shows them: the amount above the litres.
    parts.figures = el('div', { class: 'figures' },
        el('div', { class: 'figure' }, parts.amountLabel, parts.amount),
        el('div', { class: 'figure' }, parts.volumeLabel, parts.volume));
    const root = el('article', { class: 'tile' },
        el('header', {}, parts.name, parts.number, parts.badge),
        parts.hint, parts.nozzle, parts.figures, parts.details, parts.nozzles, parts.sales, parts.actions);
    return { root, parts, actionsKey: '' };
}

function updateTile(tile, point, ctx) {
    const { t, lang } = ctx;
    const { root, parts } = tile;
    const state = point.state;
    root.className = `tile state-${state.toLowerCase()}`;
    root.dataset.point = String(point.id);
    root.dataset.state = state;
    setText(parts.number, String(point.id));
    setText(parts.name, t('tile.pump', { id: point.id }));
    setText(parts.badge, t(`state.${state}`));
    const fill = point.fill;
    const origin = fillOrigin(point);
    root.classList.toggle('unauthorised', origin === 'unauthorised' && !kDead.has(state));
    setText(parts.hint, tileHint(ctx, point, origin));
    parts.hint.hidden = parts.hint.textContent === '';

    const showFill = fill !== null && fill !== undefined && !kDead.has(state);
    // Before a nozzle is lifted there is nothing to count yet: the preset is what matters.
    parts.figures.hidden = !showFill || !fill.nozzle;
    parts.nozzle.hidden = !showFill || !fill.nozzle;
    parts.details.hidden = !showFill;
    parts.nozzles.hidden = showFill;
    if (showFill) {
        if (fill.nozzle) setText(parts.nozzle, `${t('tile.nozzle', { nozzle: fill.nozzle })} · ${ctx.store.gradeName(fill.grade)}`);
        setText(parts.volumeLabel, t('tile.volume'));
        setText(parts.volume, formatVolume(lang, fill.volume));
        setText(parts.amountLabel, t('tile.amount'));
        // A pump that dispenses by itself may give litres and no price: no amount to show.
        setText(parts.amount, fill.price || fill.amount ? formatMoney(lang, fill.amount) : '—');
        const details = [];
        if (fill.price) details.push(`${t('tile.price')} ${formatPrice(lang, fill.price)}`);
        details.push(`${t('tile.preset')}: ${presetText(ctx, fill.preset)}`);
        if (fill.prepaid) details.push(t('tile.prepaid'));
        details.push(origin === 'api' ? t('tile.by', { client: fill.authorisedBy ?? '—' }) : t('tile.atPump'));
        setText(parts.details, details.join(' · '));
    } else {
        parts.nozzles.replaceChildren(...point.nozzles.map((nozzle) =>
            el('li', {},
                el('span', { class: 'n', text: String(nozzle.number) }),
                el('span', { class: 'g', text: ctx.store.gradeName(nozzle.grade) }),
                nozzlePrice(ctx, point, nozzle))));
    }

    const waiting = ctx.store.salesOf(point.id);
    const full = waiting >= point.saleBuffer;
    setText(parts.sales, waiting === 0 ? '' : full ? `${t('tile.sales', { count: waiting })} — ${t('tile.bufferFull')}` : t('tile.sales', { count: waiting }));
    parts.sales.hidden = waiting === 0;
    parts.sales.classList.toggle('full', full);

    const actions = tileActions(point, ctx.may, waiting);
    const key = `${lang}|${actions.map((a) => `${a.action}${a.disabled ? '-' : ''}`).join(',')}`;
    if (key !== tile.actionsKey) {
        tile.actionsKey = key;
        parts.actions.replaceChildren(...actions.map(({ action, disabled }) =>
            el('button', {
                type: 'button',
                class: action === 'stop' ? 'warn' : action === 'authorise' ? 'primary' : '',
                dataset: { action, point: String(point.id) },
                disabled,
                title: disabled ? t('error.sale-buffer-full') : null,
                text: t(`action.${action}`),
                onclick: () => ctx.act(action, point.id),
            })));
    }
    parts.actions.hidden = actions.length === 0;
}

export class TileBoard {
    constructor(container) {
        this.container = container;
        this.tiles = new Map();
    }

    clear() {
        this.tiles.clear();
        this.container.replaceChildren();
    }

    render(ctx, ids = null) {
        const points = ctx.store.pointsInOrder();
        let added = false;
        for (const point of points) {
            if (ids !== null && !ids.includes(point.id) && this.tiles.has(point.id)) continue;
            let tile = this.tiles.get(point.id);
            if (!tile) {
                tile = makeTile();
                this.tiles.set(point.id, tile);
                added = true;
            }
            updateTile(tile, point, ctx);
        }
        if (added) this.container.replaceChildren(...points.map((p) => this.tiles.get(p.id).root));
    }
}

export function renderSales(ctx, list, empty) {
    const { t, lang, may, who } = ctx;
    const sales = ctx.store.salesInOrder();
    empty.hidden = sales.length > 0;
    list.replaceChildren(...sales.map((sale) => {
        const mine = sale.lockedBy === who.name;
        const actions = [];
        if (may.has('sell')) {
            if (sale.state === 'PAYABLE') actions.push('lock');
            if (sale.state === 'LOCKED' && mine) actions.push('unlock');
            if (sale.state === 'PAYABLE' || mine) actions.push('clear');
        }
        const state = sale.state === 'LOCKED' ? t('saleState.LOCKED', { client: sale.lockedBy ?? '—' }) : t(`saleState.${sale.state}`);
        const about = [
            t('tile.pump', { id: sale.fuelPoint }),
            ctx.store.gradeName(sale.grade),
            `${formatVolume(lang, sale.volume)} ${t('sales.litres')}`,
        ].join(' · ');
        const marks = saleMarks(sale, ctx.store.points.get(sale.fuelPoint));
        return el('li', { class: `sale ${sale.state.toLowerCase()}${marks.length > 0 ? ' marked' : ''}`, dataset: { sale: String(sale.id), state: sale.state, origin: sale.origin ?? 'api' } },
            el('div', { class: 'what' },
                el('span', { class: 'amount', text: formatMoney(lang, sale.amount) }),
                el('span', { class: 'about', text: about })),
            marks.length === 0 ? null : el('p', { class: 'marks' }, marks.map((mark) =>
                el('span', { class: `mark ${mark}`, dataset: { mark }, text: t(`sales.mark.${mark}`, { price: formatPrice(lang, sale.price) }) }))),
            el('div', { class: 'state' },
                el('span', { class: 'word', text: state }),
                el('span', { class: 'when', text: `${t('sales.id')} ${sale.id} · ${formatTime(lang, sale.endedAt)}` })),
            el('div', { class: 'actions' }, actions.map((action) =>
                el('button', {
                    type: 'button',
                    class: action === 'clear' ? 'primary' : '',
                    dataset: { action, sale: String(sale.id) },
                    text: t(`action.${action}`),
                    onclick: () => ctx.act(action, sale.id),
                }))));
    }));
}

// The alarms nobody here has dismissed yet, newest first; the banner is gone with the last.
// ctx.dismiss(alarm | null): one alarm, or every one.
export function renderAlarms(ctx, banner, alarms) {
    const { t, lang } = ctx;
    banner.hidden = alarms.length === 0;
    if (banner.hidden) {
        banner.replaceChildren();
        return;
    }
    banner.replaceChildren(
        el('header', {},
            el('h2', { text: t('alarms.title', { count: alarms.length }) }),
            alarms.length > 1 ? el('button', { type: 'button', class: 'dismiss-all', text: t('alarms.dismissAll'), onclick: () => ctx.dismiss(null) }) : null),
        el('ul', {}, alarms.map((alarm) =>
            el('li', { class: 'alarm', dataset: { kind: alarm.kind, alarm: String(alarm.id ?? ''), point: String(alarm.fuelPoint ?? '') } },
                el('span', { class: 'when', text: formatTime(lang, alarm.at) }),
                el('span', { class: 'text', text: alarmText(t, ctx.has, lang, alarm) }),
                el('button', { type: 'button', class: 'dismiss', text: t('alarms.dismiss'), onclick: () => ctx.dismiss(alarm) })))));
}

export function renderGrades(ctx, body) {
    const { t, lang, may } = ctx;
    body.replaceChildren(...ctx.store.gradesInOrder().map((grade) =>
        el('tr', { dataset: { grade: grade.code } },
            el('td', { text: grade.code }),
            el('td', { text: grade.name }),
            el('td', { class: 'number price', text: formatPrice(lang, grade.price) }),
            el('td', { class: 'actions' }, may.has('price')
                ? el('button', { type: 'button', dataset: { action: 'price', grade: grade.code }, text: t('action.price'), onclick: () => ctx.act('price', grade.code) })
                : null))));
}

export function renderLines(ctx, container, lines) {
    const { t, lang } = ctx;
    const ms = (value) => formatNumber(lang, value, 1);
    const stat = (key, value) => el('div', { class: 'stat' }, el('span', { class: 'label', text: t(key) }), el('span', { class: 'value', text: value }));
    container.replaceChildren(...lines.map((line) =>
        el('div', { class: `line ${line.up ? 'up' : 'down'}`, dataset: { line: line.line } },
            el('p', { class: 'title' }, el('strong', { text: line.line }), el('span', { class: 'state', text: t(line.up ? 'lines.up' : 'lines.down') })),
            el('div', { class: 'stats' },
                stat('lines.exchanges', formatNumber(lang, line.exchanges, 0)),
                stat('lines.failed', formatNumber(lang, line.failed, 0)),
                stat('lines.failures', formatNumber(lang, line.failures, 0)),
                stat('lines.cycle', `${ms(line.cycleLastMs)} / ${ms(line.cycleMeanMs)}`)))));
}

export function showToast(container, { kind, text, detail, dismiss }) {
    const close = el('button', { type: 'button', class: 'close', 'aria-label': dismiss, text: '×' });
    const toast = el('div', { class: `toast ${kind}`, role: kind === 'error' ? 'alert' : 'status' },
        el('div', { class: 'text' }, el('strong', { text }), detail ? el('span', { class: 'detail', text: detail }) : null),
        close);
    const remove = () => toast.remove();
    close.addEventListener('click', remove);
    container.prepend(toast);
    while (container.children.length > 4) container.lastElementChild.remove();
    setTimeout(remove, kind === 'error' ? 15000 : 6000);
    return toast;
}
