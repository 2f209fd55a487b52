// The lines' health, read from the server's /metrics (the Prometheus text format): the
// counters a technician asks for first, per line.

// Every sample: {name, labels: {…}, value}. Comments, blank lines and lines that do not
// parse are skipped; a value that is not a finite number is kept as NaN.
export function parseMetrics(text) {
    const samples = [];
    for (const line of String(text).split('\n')) {
        if (line === '' || line.startsWith('#')) continue;
        const match = /^([A-Za-z_:][A-Za-z0-9_:]*)(\{(.*)\})?\s+(\S+)/.exec(line);
        if (!match) continue;
        const labels = parseLabels(match[3] ?? '');
        if (labels === null) continue;
        samples.push({ name: match[1], labels, value: Number(match[4]) });
    }
    return samples;
}

function parseLabels(text) {
    const labels = {};
    const pattern = /\s*([A-Za-z_][A-Za-z0-9_]*)="((?:[^"\\]|\\.)*)"\s*(,|$)/y;
    let at = 0;
    while (at < text.length) {
        pattern.lastIndex = at;
        const match = pattern.exec(text);
        if (!match) return null;
        labels[match[1]] = match[2].replace(/\\(.)/g, (whole, c) => (c === 'n' ? '\n' : c));
        at = pattern.lastIndex;
    }
    return labels;
}

// Per line, in name order: {line, up, exchanges, retries, failed, failures, cycles,
// cycleLastMs, cycleMeanMs}.
export function lineHealth(samples) {
    const lines = new Map();
    const of = (name) => {
        if (!lines.has(name)) {
            lines.set(name, { line: name, up: false, exchanges: 0, retries: 0, failed: 0, failures: 0, cycles: 0, cycleLastMs: NaN, cycleMeanMs: NaN });
        }
        return lines.get(name);
    };
    for (const { name, labels, value } of samples) {
        if (labels.line === undefined) continue;
        const finite = Number.isFinite(value);
        const line = of(labels.line);
        switch (name) {
            case 'fuel_line_up':
                line.up = value === 1;
                break;
            case 'fuel_line_exchanges_total':
                if (finite) line.exchanges = value;
                break;
            case 'fuel_line_retries_total':
                if (finite) line.retries = value;
                break;
            case 'fuel_line_failed_exchanges_total':
                if (finite) line.failed = value;
                break;
            case 'fuel_line_failures_total':
                if (finite) line.failures += value;
                break;
            case 'fuel_line_poll_cycles_total':
                if (finite) line.cycles = value;
                break;
            case 'fuel_line_poll_cycle_seconds':
                if (labels.stat === 'last') line.cycleLastMs = value * 1000;
                if (labels.stat === 'mean') line.cycleMeanMs = value * 1000;
                break;
            default:
                break;
        }
    }
    return [...lines.values()].sort((a, b) => a.line.localeCompare(b.line));
}
