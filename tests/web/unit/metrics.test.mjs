import assert from 'node:assert/strict';
import { test } from 'node:test';

import { lineHealth, parseMetrics } from '../../../web/metrics.js';

const text = `# HELP fuel_line_up Whether the line's last poll cycle had an answer.
# TYPE fuel_line_up gauge
fuel_line_up{line="north"} 1
fuel_line_up{line="say \\"south\\""} 0
fuel_line_exchanges_total{line="north"} 1200
fuel_line_exchanges_total{line="say \\"south\\""} 30
fuel_line_retries_total{line="north"} 4
fuel_line_failed_exchanges_total{line="north"} 2
fuel_line_failures_total{line="north",kind="timeout"} 5
fuel_line_failures_total{line="north",kind="bad-checksum"} 1
fuel_line_failures_total{line="north",kind="port"} NaN
fuel_line_poll_cycles_total{line="north"} 300
fuel_line_poll_cycle_seconds{line="north",stat="last"} 0.0515
fuel_line_poll_cycle_seconds{line="north",stat="mean"} 0.05
fuel_line_poll_cycle_seconds{line="north",stat="max"} +Inf
fuel_point_state{fuel_point="1",state="IDLE"} 1
fuel_server_clients{kind="events"} 3
this line is not a sample
fuel_line_up{line="broken} 1
`;

test('per line: up, counters, failures summed by kind, the cycle in ms', () => {
    const lines = lineHealth(parseMetrics(text));
    assert.equal(lines.length, 2);
    const [north, south] = lines;
    assert.deepEqual({ ...north, cycleLastMs: Math.round(north.cycleLastMs * 10) / 10 }, {
        line: 'north', up: true, exchanges: 1200, retries: 4, failed: 2, failures: 6, cycles: 300, cycleLastMs: 51.5, cycleMeanMs: 50,
    });
    assert.equal(south.line, 'say "south"');
    assert.equal(south.up, false);
    assert.equal(south.exchanges, 30);
    assert.ok(Number.isNaN(south.cycleLastMs));
});

test('samples without a line, comments and broken lines are left out', () => {
    const samples = parseMetrics(text);
    assert.ok(samples.some((s) => s.name === 'fuel_server_clients' && s.labels.kind === 'events' && s.value === 3));
    assert.ok(!samples.some((s) => s.labels.line === 'broken} 1'));
    assert.equal(samples.filter((s) => s.name === 'fuel_line_up').length, 2);
});
