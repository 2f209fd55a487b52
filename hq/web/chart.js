// A bar chart of one value per day, drawn by the page as SVG: bars, a scale of round steps
// with its grid, the days beneath. Made with createElementNS and textContent only.

const kNs = 'http://www.w3.org/2000/svg';

function svg(tag, attributes = {}, ...children) {
    const node = document.createElementNS(kNs, tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, String(value));
    for (const child of children) if (child) node.append(child);
    return node;
}

// The scale's step: 1, 2 or 5 times a power of ten, so that about `lines` lines fit.
export function niceStep(max, lines = 5) {
    if (!(max > 0)) return 1;
    const raw = max / lines;
    const power = 10 ** Math.floor(Math.log10(raw));
    for (const factor of [1, 2, 5, 10]) if (raw <= factor * power) return factor * power;
    return 10 * power;
}

// points: [{label, shortLabel, value, valueLabel, title}]; format(value) for the scale.
export function barChart({ points, format, title, width = 640, height = 300 }) {
    const margin = { top: 28, right: 12, bottom: 44, left: 72 };
    const plotWidth = width - margin.left - margin.right;
    const plotHeight = height - margin.top - margin.bottom;
    const max = Math.max(0, ...points.map((p) => p.value));
    const step = niceStep(max);
    // Room above the tallest bar for its value.
    const top = Math.max(step, Math.ceil((max * 1.08) / step) * step);
    const y = (value) => margin.top + plotHeight - (value / top) * plotHeight;
    const chart = svg('svg', { viewBox: `0 0 ${width} ${height}`, role: 'img', class: 'bar-chart', 'aria-label': title });
    chart.append(svg('title', {}, document.createTextNode(title)));
    chart.append(svg('text', { x: margin.left, y: 16, class: 'chart-title' }, document.createTextNode(title)));
    for (let value = 0; value <= top + step / 2; value += step) {
        chart.append(svg('line', { x1: margin.left, x2: width - margin.right, y1: y(value), y2: y(value), class: value === 0 ? 'axis' : 'grid' }));
        chart.append(svg('text', { x: margin.left - 6, y: y(value) + 4, class: 'scale', 'text-anchor': 'end' }, document.createTextNode(format(value))));
    }
    const slot = plotWidth / Math.max(points.length, 1);
    const barWidth = Math.max(1, Math.min(48, slot * 0.7));
    // Every label if they fit, else every n-th.
    const labelEvery = Math.max(1, Math.ceil(points.length / Math.floor(plotWidth / 56)));
    points.forEach((point, i) => {
        const x = margin.left + slot * i + (slot - barWidth) / 2;
        const bar = svg('rect', { x, y: y(point.value), width: barWidth, height: Math.max(0, y(0) - y(point.value)), class: 'bar', 'data-day': point.label, 'data-value': point.value });
        bar.append(svg('title', {}, document.createTextNode(point.title)));
        chart.append(bar);
        if (point.value > 0 && barWidth >= 24) {
            chart.append(svg('text', { x: x + barWidth / 2, y: y(point.value) - 4, class: 'value', 'text-anchor': 'middle' }, document.createTextNode(point.valueLabel ?? String(point.value))));
        }
        if (i % labelEvery === 0) {
            chart.append(svg('text', { x: x + barWidth / 2, y: height - margin.bottom + 18, class: 'day', 'text-anchor': 'middle' }, document.createTextNode(point.shortLabel ?? point.label)));
        }
    });
    return chart;
}
