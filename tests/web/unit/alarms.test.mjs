import assert from 'node:assert/strict';
import { test } from 'node:test';

import { AlarmList, alarmText } from '../../../web/alarms.js';
import { has, translator } from '../../../web/i18n.js';

// Session storage as the tab has it: strings only, kept between two lists (a reload).
function storage(initial = {}) {
    const items = new Map(Object.entries(initial));
    return {
        items,
        getItem: (key) => (items.has(key) ? items.get(key) : null),
        setItem: (key, value) => items.set(key, String(value)),
        removeItem: (key) => items.delete(key),
    };
}

const alarm = (id, kind = 'unauthorised-fill', more = {}) => ({
    id, type: 'alarm', at: `2024-05-01T10:00:${String(id % 60).padStart(2, '0')}.000Z`,
    data: { kind, fuelPoint: 4, message: `server words ${id}`, nozzle: 1, sale: 100 + id, ...more },
});

test('alarms: newest first, each once however often the stream replays it', () => {
    const list = new AlarmList(storage());
    assert.equal(list.add(alarm(7)), true);
    assert.equal(list.add(alarm(9)), true);
    assert.equal(list.add(alarm(8)), true, 'one that arrives late goes in its place');
    assert.equal(list.add(alarm(9)), false, 'replayed after a reconnection');
    assert.equal(list.add({ id: 10, type: 'alarm', data: { fuelPoint: 4 } }), false, 'no kind: not an alarm');
    assert.deepEqual(list.alarms.map((a) => a.id), [9, 8, 7]);
    assert.equal(list.alarms[0].sale, 109);
    assert.equal(list.alarms[0].at, '2024-05-01T10:00:09.000Z');
});

test('alarms: dismissed here only, kept across a reload until then', async (t) => {
    const cases = [
        { what: 'one dismissed', act: (l) => l.dismiss(l.alarms[1]), left: [3, 1] },
        { what: 'all dismissed', act: (l) => l.dismissAll(), left: [] },
        { what: 'none dismissed', act: () => {}, left: [3, 2, 1] },
    ];
    for (const c of cases) {
        await t.test(c.what, () => {
            const tab = storage();
            const list = new AlarmList(tab);
            for (const id of [1, 2, 3]) list.add(alarm(id));
            c.act(list);
            assert.deepEqual(list.alarms.map((a) => a.id), c.left);
            const reloaded = new AlarmList(tab);
            assert.deepEqual(reloaded.alarms.map((a) => a.id), c.left);
            assert.equal(reloaded.add(alarm(2)), false, 'replayed, dismissed or not, it is not shown twice');
            assert.deepEqual(reloaded.alarms.map((a) => a.id), c.left);
            assert.equal(reloaded.add(alarm(4)), true);
        });
    }
});

test('alarms: signing out forgets them and what was dismissed', () => {
    const tab = storage();
    const list = new AlarmList(tab);
    list.add(alarm(1));
    list.add(alarm(2));
    list.dismiss(list.alarms[0]);
    list.clear();
    assert.equal(tab.items.size, 0);
    assert.equal(new AlarmList(tab).add(alarm(2)), true);
});

test('alarms: what the storage holds that is not ours is dropped, not thrown', () => {
    for (const kept of ['{not json', '"text"', '{"kind":"x"}', '[{"kind":"x"}]', '{"alarms": [null, 3, {"id": 1}], "dismissed": 5}']) {
        const list = new AlarmList(storage({ 'fuel.alarms': kept }));
        assert.deepEqual(list.alarms, [], kept);
    }
    const noStorage = new AlarmList(null);
    assert.equal(noStorage.add(alarm(1)), true);
    assert.equal(noStorage.length, 1);
});

test('alarms: the oldest go first past fifty', () => {
    const list = new AlarmList(storage());
    for (let id = 1; id <= 60; ++id) list.add(alarm(id));
    assert.equal(list.length, 50);
    assert.equal(list.alarms.at(-1).id, 11);
    assert.equal(list.alarms[0].id, 60);
});

test('alarms in the page’s words; a kind this console does not know in the server’s', () => {
    const cases = [
        { lang: 'en', event: alarm(5), expected: 'Pump 4, nozzle 1: a fill nobody authorised (sale 105)' },
        { lang: 'ru', event: alarm(5), expected: 'ТРК 4, пистолет 1: налив без разрешения (продажа 105)' },
        {
            lang: 'en', event: alarm(6, 'totaliser-reset', { nozzle: 2, before: 12002.09, after: 12001, sale: undefined }),
            expected: 'Pump 4, nozzle 2: the totaliser went back from 12,002.09 to 12,001.00 L. Was the controller replaced or reset?',
        },
        { lang: 'ru', event: alarm(7, 'tank-low'), expected: 'server words 7' },
        { lang: 'en', event: alarm(8, 'tank-low', { message: '' }), expected: 'tank-low' },
    ];
    for (const c of cases) {
        const list = new AlarmList();
        list.add(c.event);
        assert.equal(alarmText(translator(c.lang), (key) => has(c.lang, key), c.lang, list.alarms[0]), c.expected, c.expected);
    }
});
