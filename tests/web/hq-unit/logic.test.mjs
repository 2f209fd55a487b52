// The head office console's rules that need no page: a station's problems and colour, the
// filter, a report's days and CSV, the chart's scale, a campaign's body, the address's view.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { campaignBody } from '../../../hq/web/campaigns.js';
import { niceStep } from '../../../hq/web/chart.js';
import { daysBetween } from '../../../hq/web/format.js';
import { everyDay, toCsv } from '../../../hq/web/reports.js';
import { filterStations, healthOf, problemsOf } from '../../../hq/web/stations.js';

const station = (fields) => ({ id: 's', groups: [], status: 'online', silent: false, lag: 0, gapSince: null, openAlarms: 0, ...fields });

test('a station’s problems and its colour', () => {
    const cases = [
        [{}, [], 'ok'],
        [{ status: 'unknown' }, [], 'unknown'],
        [{ status: 'offline' }, ['offline'], 'bad'],
        [{ silent: true }, ['silent'], 'bad'],
        [{ lag: 3 }, ['lagging'], 'warn'],
        [{ gapSince: '2026-01-01T00:00:00Z' }, ['lagging'], 'warn'],
        [{ openAlarms: 2 }, ['alarms'], 'warn'],
        [{ status: 'offline', lag: 1, openAlarms: 1 }, ['offline', 'lagging', 'alarms'], 'bad'],
    ];
    for (const [fields, problems, health] of cases) {
        assert.deepEqual(problemsOf(station(fields)), problems, JSON.stringify(fields));
        assert.equal(healthOf(station(fields)), health, JSON.stringify(fields));
    }
});

test('stations filtered by group and by problem', () => {
    const stations = [station({ id: 'a', groups: ['north'] }), station({ id: 'b', groups: ['north', 'city'], status: 'offline' }), station({ id: 'c', groups: ['south'], openAlarms: 1 })];
    const ids = (group, problem) => filterStations(stations, group, problem).map((s) => s.id);
    assert.deepEqual(ids('', ''), ['a', 'b', 'c']);
    assert.deepEqual(ids('north', ''), ['a', 'b']);
    assert.deepEqual(ids('north', 'offline'), ['b']);
    assert.deepEqual(ids('', 'alarms'), ['c']);
    assert.deepEqual(ids('city', 'alarms'), []);
});

test('a report has every day of its period, across a month’s end, and its CSV', () => {
    assert.deepEqual(daysBetween('2026-02-27', '2026-03-01'), ['2026-02-27', '2026-02-28', '2026-03-01']);
    assert.deepEqual(daysBetween('2026-03-01', '2026-02-27'), []);
    const days = everyDay([{ day: '2026-02-28', volume: 12.5, amount: 570.88, count: 2 }], '2026-02-27', '2026-03-01');
    assert.deepEqual(days.map((d) => d.count), [0, 2, 0]);
    assert.equal(toCsv(days), 'day,volume,amount,count\r\n2026-02-27,0,0,0\r\n2026-02-28,12.5,570.88,2\r\n2026-03-01,0,0,0\r\n');
});

test('the chart’s scale steps are round', () => {
    for (const [max, step] of [[0, 1], [4, 1], [9, 2], [2498, 500], [61, 20], [0.3, 0.1]]) assert.equal(niceStep(max), step, String(max));
});

test('a campaign’s body from its form, or what to mend first', () => {
    const form = { grade: '95', price: '1,52', at: '', note: '', groups: ['north'], stations: [] };
    assert.deepEqual(campaignBody(form), { body: { grade: '95', price: 1.52, stations: [], groups: ['north'] } });
    assert.deepEqual(campaignBody({ ...form, price: '1.5.2' }), { error: 'campaign.badPrice' });
    assert.deepEqual(campaignBody({ ...form, groups: [] }), { error: 'campaign.chooseTargets' });
    const later = campaignBody({ ...form, at: '2026-12-10T18:00', note: 'winter' }).body;
    assert.equal(later.at, new Date('2026-12-10T18:00').toISOString());
    assert.equal(later.note, 'winter');
});
