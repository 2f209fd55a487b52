import assert from 'node:assert/strict';
import { test } from 'node:test';

import { fillOrigin, saleMarks, tileActions } from '../../../web/view.js';

const fill = (authorised) => ({ id: 12, state: 'FUELLING', authorised, authorisedBy: authorised ? 'till-2' : null, nozzle: 1 });
const point = (release, state = 'IDLE', running = null) => ({ id: 4, state, closed: false, saleBuffer: 2, release, fill: running });
const all = new Set(['sell', 'close']);

test('who started the fill a tile shows', () => {
    const cases = [
        { point: point('api', 'FUELLING', fill(true)), expected: 'api' },
        // A fill started at the pump has an id as soon as the journal holds it: the flag tells.
        { point: point('api', 'FUELLING', fill(false)), expected: 'unauthorised' },
        { point: point('pump', 'FUELLING', fill(false)), expected: 'pump' },
        { point: point('pump', 'IDLE'), expected: null },
        { point: { ...point('api', 'AUTHORISED'), fill: { id: 3, state: 'AUTHORISED', authorised: true, nozzle: null } }, expected: 'api' },
    ];
    for (const c of cases) assert.equal(fillOrigin(c.point), c.expected, JSON.stringify(c.point));
});

test('the buttons of a tile: a pump whose fills start there has nothing to authorise or stop', () => {
    const cases = [
        { point: point('api', 'CALLING'), may: all, waiting: 0, expected: ['authorise', 'close'] },
        { point: point('api', 'IDLE'), may: all, waiting: 2, expected: ['authorise-', 'close'] },
        { point: point('api', 'FUELLING', fill(false)), may: all, waiting: 0, expected: ['stop', 'close'] },
        { point: point('pump', 'CALLING'), may: all, waiting: 0, expected: ['close'] },
        { point: point('pump', 'FUELLING', fill(false)), may: all, waiting: 0, expected: ['close'] },
        { point: { ...point('pump'), closed: true, state: 'CLOSED' }, may: all, waiting: 0, expected: ['open'] },
        { point: point('api', 'FUELLING', fill(true)), may: new Set(['sell']), waiting: 0, expected: ['stop'] },
    ];
    for (const c of cases) {
        const actions = tileActions(c.point, c.may, c.waiting).map((a) => `${a.action}${a.disabled ? '-' : ''}`);
        assert.deepEqual(actions, c.expected, JSON.stringify(c.point));
    }
});

test('the marks of a sale in the list', () => {
    const sale = (origin, amountComputed = false) => ({ id: 1, fuelPoint: 4, origin, amountComputed });
    const cases = [
        { sale: sale('api'), point: point('api'), expected: [] },
        { sale: sale('pump'), point: point('pump'), expected: ['pump'] },
        { sale: sale('pump', true), point: point('api'), expected: ['unauthorised', 'computed'] },
        // A pump the snapshot does not know: not assumed to be one whose fills start there.
        { sale: sale('pump'), point: undefined, expected: ['unauthorised'] },
        { sale: { id: 2, fuelPoint: 1 }, point: point('api'), expected: [] },
    ];
    for (const c of cases) assert.deepEqual(saleMarks(c.sale, c.point), c.expected, JSON.stringify(c.sale));
});
