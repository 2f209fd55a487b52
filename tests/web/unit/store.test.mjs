import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Store } from '../../../web/store.js';

const point = (id, state, fill = null) => ({
    id, line: 'l', address: id, state, closed: state === 'CLOSED', saleBuffer: 2, unclearedSales: 0, fill,
    nozzles: [{ number: 1, grade: '95', price: 45 }, { number: 2, grade: '92', price: 48 }],
});
const sale = (id, fuelPoint, state, lockedBy = null) => ({ id, fuelPoint, state, lockedBy, amount: 10, volume: 0.2, grade: '95' });

function loaded() {
    const store = new Store();
    store.loadSnapshot({ fuelPoints: [point(2, 'IDLE'), point(1, 'IDLE')], grades: [{ code: '95', name: 'Super 95', price: 45 }], sequence: 40 });
    store.loadSales([sale(5, 1, 'PAYABLE'), sale(6, 1, 'LOCKED', 'till'), sale(3, 2, 'CLEARED')]);
    return store;
}

test('snapshot and sales: points by id, sales waiting newest first, cleared ones left out', () => {
    const store = loaded();
    assert.deepEqual(store.pointsInOrder().map((p) => p.id), [1, 2]);
    assert.deepEqual(store.salesInOrder().map((s) => s.id), [6, 5]);
    assert.equal(store.salesOf(1), 2);
    assert.equal(store.sequence, 40);
});

test('events change what they carry', async (t) => {
    const fill = { id: 9, state: 'FUELLING', nozzle: 1, grade: '95', volume: 1.5, amount: 67.5 };
    const cases = [
        {
            what: 'fuel point replaced, sequence moves on',
            event: { id: 41, type: 'fuel-point', data: point(1, 'AUTHORISED') },
            check: (s, c) => { assert.equal(s.points.get(1).state, 'AUTHORISED'); assert.deepEqual(c.points, [1]); assert.equal(s.sequence, 41); },
        },
        {
            what: 'fill progress (no id) updates the running figures, not the sequence',
            event: { id: null, type: 'fill-progress', data: point(2, 'FUELLING', fill) },
            check: (s) => { assert.equal(s.points.get(2).fill.volume, 1.5); assert.equal(s.sequence, 40); },
        },
        {
            what: 'a new sale is added',
            event: { id: 41, type: 'sale', data: sale(7, 2, 'PAYABLE') },
            check: (s, c) => { assert.deepEqual(s.salesInOrder().map((x) => x.id), [7, 6, 5]); assert.ok(c.sales); assert.equal(s.salesOf(2), 1); },
        },
        {
            what: 'a locked sale is updated in place',
            event: { id: 41, type: 'sale', data: sale(5, 1, 'LOCKED', 'other') },
            check: (s) => assert.equal(s.sales.get(5).lockedBy, 'other'),
        },
        {
            what: 'a cleared sale leaves the list',
            event: { id: 41, type: 'sale', data: sale(6, 1, 'CLEARED', 'till') },
            check: (s) => { assert.deepEqual(s.salesInOrder().map((x) => x.id), [5]); assert.equal(s.salesOf(1), 1); },
        },
        {
            what: 'a price: the grade and the confirmed nozzles, not the deferred',
            event: {
                id: 41, type: 'price',
                data: { grade: { code: '95', name: 'Super 95', price: 46.5 }, nozzles: [
                    { fuelPoint: 1, nozzle: 1, confirmed: true, deferred: false, error: null },
                    { fuelPoint: 2, nozzle: 1, confirmed: false, deferred: true, error: null }] },
            },
            check: (s, c) => {
                assert.equal(s.grades.get('95').price, 46.5);
                assert.equal(s.points.get(1).nozzles[0].price, 46.5);
                assert.equal(s.points.get(2).nozzles[0].price, 45);
                assert.deepEqual(c.points, [1]);
                assert.equal(c.notice.key, 'notice.price');
            },
        },
        {
            what: 'a cancelled fill is told',
            event: { id: 41, type: 'fill-cancelled', data: { fuelPoint: 2, reason: 'no fuel taken' } },
            check: (s, c) => assert.deepEqual(c.notice, { key: 'notice.cancelled', params: { id: 2, reason: 'no fuel taken' } }),
        },
        {
            what: 'a fuel point the snapshot did not have is added',
            event: { id: 41, type: 'fuel-point', data: point(9, 'OFFLINE') },
            check: (s) => assert.deepEqual(s.pointsInOrder().map((p) => p.id), [1, 2, 9]),
        },
        {
            what: 'an event of an unknown type changes nothing',
            event: { id: 41, type: 'something-new', data: {} },
            check: (s, c) => { assert.deepEqual(c, { points: [], sales: false, grades: false, notice: null, alarm: null }); assert.equal(s.sequence, 41); },
        },
        {
            what: 'an alarm is handed on as it came, and changes no pump',
            event: { id: 42, type: 'alarm', at: '2024-05-01T10:00:00.000Z', data: { kind: 'unauthorised-fill', fuelPoint: 1, nozzle: 2, sale: 12, message: 'm' } },
            check: (s, c) => { assert.equal(c.alarm.data.sale, 12); assert.equal(c.alarm.id, 42); assert.deepEqual(c.points, []); assert.equal(s.sequence, 42); },
        },
        {
            what: 'a nozzle that takes no price keeps its price, is marked, and stays marked when its pump changes',
            event: {
                id: 41, type: 'price',
                data: { grade: { code: '95', name: 'Super 95', price: 46.5 }, nozzles: [
                    { fuelPoint: 1, nozzle: 1, confirmed: false, deferred: false, takesNoPrice: true, error: null },
                    { fuelPoint: 2, nozzle: 1, confirmed: true, deferred: false, takesNoPrice: false, error: null }] },
            },
            check: (s, c) => {
                assert.equal(s.points.get(1).nozzles[0].price, 45);
                assert.deepEqual([s.takesNoPrice(1, 1), s.takesNoPrice(1, 2), s.takesNoPrice(2, 1)], [true, false, false]);
                assert.deepEqual(c.points.sort(), [1, 2]);
                s.apply({ id: 42, type: 'fuel-point', data: point(1, 'CALLING') });
                assert.equal(s.takesNoPrice(1, 1), true);
                // A controller that takes prices again (back in a normal mode): no longer marked.
                s.apply({ id: 43, type: 'price', data: { grade: { code: '95', name: 'Super 95', price: 47 }, nozzles: [
                    { fuelPoint: 1, nozzle: 1, confirmed: true, deferred: false, takesNoPrice: false, error: null }] } });
                assert.equal(s.takesNoPrice(1, 1), false);
                assert.equal(s.points.get(1).nozzles[0].price, 47);
            },
        },
        {
            what: 'a fuel point whose view says its nozzles take no price is marked without any price report',
            event: { id: 41, type: 'fuel-point', data: { ...point(2, 'IDLE'), nozzles: [{ number: 1, grade: '95', price: 0, takesNoPrice: true }] } },
            check: (s) => assert.deepEqual([s.takesNoPrice(2, 1), s.takesNoPrice(1, 1)], [true, false]),
        },
    ];
    for (const c of cases) {
        await t.test(c.what, () => {
            const store = loaded();
            c.check(store, store.apply(c.event));
        });
    }
});
