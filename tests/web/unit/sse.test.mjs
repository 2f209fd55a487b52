import assert from 'node:assert/strict';
import { test } from 'node:test';

import { SseParser } from '../../../web/sse.js';

function parse(pieces, lastEventId = '') {
    const events = [];
    const parser = new SseParser((event) => events.push(event), lastEventId);
    for (const piece of pieces) parser.push(piece);
    return { events, parser };
}

const sale = 'id: 7\nevent: sale\ndata: {"id":7}\n\n';

test('events as the standard parses them', async (t) => {
    const cases = [
        { what: 'one event in one piece', input: [sale], events: [{ type: 'sale', data: '{"id":7}', lastEventId: '7' }] },
        { what: 'split at every character', input: [...sale], events: [{ type: 'sale', data: '{"id":7}', lastEventId: '7' }] },
        {
            what: 'CRLF, CR and LF line ends, a CRLF split between pieces',
            input: ['id: 1\r\ndata: a\r', '\n\r\nid: 2\rdata: b\r\r', 'data: c\n\n'],
            events: [
                { type: 'message', data: 'a', lastEventId: '1' },
                { type: 'message', data: 'b', lastEventId: '2' },
                { type: 'message', data: 'c', lastEventId: '2' },
            ],
        },
        { what: 'a heartbeat comment', input: [': heartbeat\n\n'], events: [] },
        { what: 'data on several lines', input: ['data: a\ndata: b\n\n'], events: [{ type: 'message', data: 'a\nb', lastEventId: '' }] },
        {
            what: 'progress without an id keeps the last one',
            input: [sale, 'event: fill-progress\ndata: {}\n\n'],
            events: [
                { type: 'sale', data: '{"id":7}', lastEventId: '7' },
                { type: 'fill-progress', data: '{}', lastEventId: '7' },
            ],
        },
        { what: 'one leading space taken, not two', input: ['data:  x\n\n'], events: [{ type: 'message', data: ' x', lastEventId: '' }] },
        { what: 'a field without a colon', input: ['data\n\n'], events: [{ type: 'message', data: '', lastEventId: '' }] },
        { what: 'a byte-order mark at the start', input: ['\uFEFFid: 1\ndata: x\n\n'], events: [{ type: 'message', data: 'x', lastEventId: '1' }] },
        { what: 'an id with NUL is ignored', input: ['id: 1\n\nid: 2\0\ndata: x\n\n'], events: [{ type: 'message', data: 'x', lastEventId: '1' }] },
        { what: 'an event without its blank line is not given yet', input: ['data: x\n'], events: [] },
        { what: 'unknown fields ignored', input: ['foo: bar\ndata: x\n\n'], events: [{ type: 'message', data: 'x', lastEventId: '' }] },
    ];
    for (const c of cases) {
        await t.test(c.what, () => assert.deepEqual(parse(c.input).events, c.events));
    }
});

test('an id line without data moves the last id on', () => {
    const { events, parser } = parse(['id: 3\n\n']);
    assert.deepEqual(events, []);
    assert.equal(parser.lastEventId, '3');
});

test('retry takes whole milliseconds only', () => {
    assert.equal(parse(['retry: 2000\n\n']).parser.retry, 2000);
    assert.equal(parse(['retry: 2s\n\n']).parser.retry, null);
});
