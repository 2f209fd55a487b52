import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';

import { Languages, chooseLanguage, describeError, formatMoney, formatVolume, has, parseNumber, textKeys, translator } from '../../../web/i18n.js';

test('numbers in each language', () => {
    const cases = [
        { language: 'ru', money: 1234.5, expected: /^1[\s\u00a0\u202f]234,50$/ },
        { language: 'en', money: 1234.5, expected: /^1,234\.50$/ },
    ];
    for (const c of cases) assert.match(formatMoney(c.language, c.money), c.expected, c.language);
    assert.equal(formatVolume('ru', 4.379), '4,379');
    assert.equal(formatVolume('en', 4.3), '4.30');
    assert.equal(formatMoney('en', null), '—');
});

test('numbers as people type them', () => {
    const accepted = [['20,5', 20.5], ['20.5', 20.5], [' 20 ', 20], ['1 234,5', 1234.5], ['1\u00a0234,50', 1234.5], ['0', 0]];
    for (const [text, value] of accepted) assert.equal(parseNumber(text), value, text);
    const refused = ['1,2,3', '1.234,5', 'abc', '', '-1', '+1', '1e3', '12 34', ',5', '5,', 'Infinity', '0x10'];
    for (const text of refused) assert.equal(parseNumber(text), null, text);
});

test('the language from the browser unless one was chosen', () => {
    const cases = [
        { browser: ['ru-RU', 'en'], stored: null, expected: 'ru' },
        { browser: ['de', 'en-GB'], stored: null, expected: 'en' },
        { browser: ['de'], stored: null, expected: 'en' },
        { browser: [], stored: null, expected: 'en' },
        { browser: ['ru'], stored: 'en', expected: 'en' },
        { browser: ['en'], stored: 'xx', expected: 'en' },
    ];
    for (const c of cases) assert.equal(chooseLanguage(c.browser, c.stored), c.expected, JSON.stringify(c));
});

test('every text in every language, with the same placeholders', () => {
    const english = textKeys('en');
    for (const language of Languages) {
        assert.deepEqual([...textKeys(language)].sort(), [...english].sort(), language);
        for (const key of english) {
            const placeholders = (l) => (translator(l)(key).match(/\{\w+\}/g) ?? []).sort();
            assert.deepEqual(placeholders(language), placeholders('en'), `${language} ${key}`);
        }
    }
});

test('every key the page names exists', () => {
    const html = fs.readFileSync(new URL('../../../web/index.html', import.meta.url), 'utf8');
    const keys = [...html.matchAll(/data-text="([^"]+)"/g)].map((m) => m[1]);
    // And every literal key the scripts pass to t(...) or name in their tables.
    const folder = new URL('../../../web/', import.meta.url);
    for (const file of fs.readdirSync(folder).filter((name) => name.endsWith('.js') && name !== 'i18n.js')) {
        const source = fs.readFileSync(new URL(file, folder), 'utf8');
        keys.push(...[...source.matchAll(/\bt\('([\w.-]+)'/g)].map((m) => m[1]));
        keys.push(...[...source.matchAll(/\['([\w-]+\.[\w.-]+)'/g)].map((m) => m[1]));
    }
    assert.ok(keys.length > 60, `only ${keys.length} keys found`);
    const states = ['CLOSED', 'IDLE', 'CALLING', 'AUTHORISED', 'FUELLING', 'OFFLINE', 'ERROR'].map((s) => `state.${s}`);
    const roles = ['viewer', 'pos', 'backoffice', 'technician'].map((r) => `role.${r}`);
    const actions = ['authorise', 'stop', 'close', 'open', 'lock', 'unlock', 'clear', 'price', 'emergency'].map((a) => `action.${a}`);
    const outcomes = ['authorise', 'stop', 'close', 'open', 'lock', 'unlock', 'clear', 'price', 'emergency'].map((a) => `done.${a}`);
    const reasons = ['closed', 'offline', 'busy', 'sale-buffer-full', 'autonomous', 'nothing-to-stop', 'locked-by-other',
        'cleared-by-other', 'not-locked', 'already-cleared', 'in-progress', 'forecourt-stopped', 'journal-failed',
        'controller-failed', 'price-not-confirmed', 'no-such-fuel-point', 'no-such-sale', 'no-such-grade', 'no-answer'].map((c) => `error.${c}`);
    for (const key of [...keys, ...states, ...roles, ...actions, ...outcomes, ...reasons, 'conn.live', 'conn.reconnecting', 'conn.connecting', 'conn.stopped']) {
        for (const language of Languages) assert.ok(has(language, key), `${language}: ${key}`);
    }
});

test('placeholders filled, unknown ones left visible', () => {
    const t = translator('en');
    assert.equal(t('tile.pump', { id: 3 }), 'Pump 3');
    assert.equal(t('tile.pump'), 'Pump {id}');
    assert.equal(t('no.such.key'), 'no.such.key');
});

test('a failure in the user’s words, the server’s beside them when they say more', () => {
    const failure = (status, code, message) => Object.assign(new Error(message), { status, code });
    const cases = [
        { what: 'no answer at all', language: 'en', error: failure(0, 'no-answer', 'Failed to fetch'), text: 'The server did not answer.', detail: 'Failed to fetch' },
        { what: 'a refusal we have words for', language: 'ru', error: failure(409, 'busy', 'fuel point 1 is busy'), text: 'ТРК занята.', detail: 'fuel point 1 is busy' },
        { what: 'a code we have no words for', language: 'en', error: failure(422, 'new-kind', 'grade 97 is not sold here'), text: 'grade 97 is not sold here', detail: '' },
        { what: 'no words and no message: the code', language: 'en', error: failure(502, 'http-502', ''), text: 'http-502', detail: '' },
    ];
    for (const c of cases) assert.deepEqual(describeError(c.language, c.error), { text: c.text, detail: c.detail }, c.what);
});
