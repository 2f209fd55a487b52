// The console in a real browser (Debian's chromium, headless) against the daemon on the
// emulated example station: what a cashier, a manager and a viewer do, and the page living
// through a restart of the daemon.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import puppeteer from 'puppeteer-core';

import { Station, launchBrowser, until } from './station.mjs';

let station;
let browser;
const pageErrors = [];

before(async () => {
    station = await Station.create();
    await station.start();
    browser = await launchBrowser(puppeteer);
});

after(async () => {
    await browser?.close();
    await station?.remove();
});

async function newPage({ language = 'en', width = 1280, height = 800 } = {}) {
    const page = await browser.newPage();
    page.on('pageerror', (error) => pageErrors.push(error.message));
    page.on('console', (message) => {
        if (/Content Security Policy/i.test(message.text())) pageErrors.push(message.text());
    });
    await page.evaluateOnNewDocument((tag) => Object.defineProperty(navigator, 'languages', { get: () => [tag] }), language);
    await page.setViewport({ width, height });
    await page.goto(station.url);
    return page;
}

async function signIn(page, client) {
    await page.waitForSelector('#token', { visible: true });
    await page.type('#token', station.tokens[client] ?? client);
    await page.click('#sign-in-form button[type=submit]');
}

async function consoleFor(client, options) {
    const page = await newPage(options);
    await signIn(page, client);
    await page.waitForSelector('.tile[data-point="5"]');
    await waitLive(page);
    return page;
}

const waitLive = (page) => page.waitForSelector('#connection[data-status="live"]', { timeout: 30000 });
const stateOf = (page, id) => page.$eval(`.tile[data-point="${id}"]`, (tile) => tile.dataset.state);
const number = (text) => Number(text.replace(/[^\d.]/g, ''));

async function waitState(page, id, states, timeout = 20000) {
    const wanted = [].concat(states);
    await until(async () => wanted.includes(await stateOf(page, id)), { timeout, what: `pump ${id} ${wanted.join('/')}` });
}

// Whatever an earlier test or a customer left on a pump, it is free again.
async function freePump(id) {
    await station.request('manager', 'POST', `/api/v1/fuel-points/${id}/open`);
    await station.request('manager', 'POST', `/api/v1/fuel-points/${id}/stop`);
    await until(async () => ['IDLE', 'CALLING'].includes((await station.point(id)).state), { timeout: 30000, what: `pump ${id} free` });
}

test('sign-in: an unknown token is refused; a good one opens the forecourt and stays in the tab only', async () => {
    const page = await newPage();
    await signIn(page, 'not-a-token');
    await page.waitForFunction(() => document.querySelector('#sign-in-error').textContent.includes('unknown'));
    assert.equal(await page.$eval('#console', (c) => c.hidden), true);

    await page.$eval('#token', (input) => { input.value = ''; });
    await signIn(page, 'manager');
    await page.waitForSelector('.tile[data-point="5"]');
    assert.equal(await page.$$eval('.tile', (tiles) => tiles.length), 5);
    assert.equal(await page.evaluate(() => sessionStorage.getItem('fuel.token')), station.tokens.manager);
    assert.equal(await page.evaluate(() => localStorage.getItem('fuel.token')), null);
    assert.ok(!page.url().includes(station.tokens.manager));
    assert.match(await page.$eval('#who', (who) => who.textContent), /manager · back office/);

    await page.reload();
    await page.waitForSelector('.tile[data-point="1"]');
    await waitLive(page);

    await page.click('#sign-out');
    await page.waitForSelector('#sign-in', { visible: true });
    assert.equal(await page.evaluate(() => sessionStorage.getItem('fuel.token')), null);
    await page.close();
});

test('a money preset: the fill runs up on its tile, the sale appears, is locked and cleared', async () => {
    await freePump(1);
    const page = await consoleFor('manager');
    await page.click('.tile[data-point="1"] button[data-action="authorise"]');
    await page.waitForSelector('#authorise-dialog[open]');
    await page.type('#authorise-value', '200');
    await page.click('#authorise-form button[type=submit]');
    await page.waitForSelector('#authorise-dialog:not([open])');
    await waitState(page, 1, ['AUTHORISED', 'FUELLING']);

    // The volume as the tile shows it, until the pump is free again.
    const seen = [];
    await until(async () => {
        const tile = await page.$eval('.tile[data-point="1"]', (t) => ({ state: t.dataset.state, volume: t.querySelector('.volume').textContent, hidden: t.querySelector('.figures').hidden }));
        if (tile.state === 'FUELLING' && !tile.hidden) {
            const volume = number(tile.volume);
            if (seen.at(-1) !== volume) seen.push(volume);
        }
        return tile.state === 'IDLE' || tile.state === 'CALLING';
    }, { timeout: 60000, every: 50, what: 'the fill to end' });
    assert.ok(seen.length >= 3, `the volume was seen rising: ${seen}`);
    for (let i = 1; i < seen.length; ++i) assert.ok(seen[i] > seen[i - 1], `rising: ${seen}`);

    const sale = await page.waitForSelector('.sale[data-state="PAYABLE"] .about');
    const row = await sale.evaluateHandle((about) => about.closest('.sale'));
    const id = await row.evaluate((r) => r.dataset.sale);
    assert.match(await row.evaluate((r) => r.textContent), /Pump 1/);
    assert.equal(await row.evaluate((r) => r.querySelector('.amount').textContent), '200.00');
    assert.ok(Math.abs(seen.at(-1) - 200 / 45.67) < 0.5, `the last volume seen ${seen.at(-1)}`);
    assert.match(await page.$eval('.tile[data-point="1"] .waiting', (w) => w.textContent), /Sales waiting: 1/);

    await page.click(`.sale[data-sale="${id}"] button[data-action="lock"]`);
    await page.waitForSelector(`.sale[data-sale="${id}"][data-state="LOCKED"]`);
    assert.match(await page.$eval(`.sale[data-sale="${id}"] .word`, (w) => w.textContent), /Locked: manager/);
    await page.click(`.sale[data-sale="${id}"] button[data-action="clear"]`);
    await until(async () => (await page.$(`.sale[data-sale="${id}"]`)) === null, { what: 'the cleared sale to go' });
    assert.equal((await station.request('manager', 'GET', `/api/v1/sales/${id}`)).body.state, 'CLEARED');
    await page.close();
});

test('the pump whose controller does not answer is offline, offers no authorisation, and its line says so', async () => {
    const page = await consoleFor('manager');
    await waitState(page, 5, 'OFFLINE');
    assert.equal(await page.$('.tile[data-point="5"] button[data-action="authorise"]'), null);
    assert.match(await page.$eval('.tile[data-point="5"] .hint', (h) => h.textContent), /does not answer/);
    await page.waitForSelector('.line[data-line="yard"].down');
    await page.waitForSelector('.line[data-line="forecourt"].up');
    const exchanges = await page.$eval('.line[data-line="forecourt"] .stat .value', (v) => v.textContent);
    assert.ok(number(exchanges) > 0, `exchanges ${exchanges}`);
    await page.close();
});

test('close and open a pump; a refusal is answered in the page with the server’s message', async () => {
    await freePump(2);
    const page = await consoleFor('manager');
    await page.click('.tile[data-point="2"] button[data-action="close"]');
    await waitState(page, 2, 'CLOSED');
    assert.equal(await page.$('.tile[data-point="2"] button[data-action="authorise"]'), null);
    await page.click('.tile[data-point="2"] button[data-action="open"]');
    await waitState(page, 2, ['IDLE', 'CALLING']);

    // The dialog is open when another client closes the pump: the server's refusal shows in it.
    await page.click('.tile[data-point="2"] button[data-action="authorise"]');
    await page.waitForSelector('#authorise-dialog[open]');
    assert.equal((await station.request('manager', 'POST', '/api/v1/fuel-points/2/close')).status, 200);
    await page.type('#authorise-value', '10');
    await page.click('#authorise-form button[type=submit]');
    await page.waitForFunction(() => document.querySelector('#authorise-error').textContent !== '');
    const message = await page.$eval('#authorise-error', (e) => e.textContent);
    assert.match(message, /The pump is closed/);
    assert.ok(message.includes('('), `the server's own words beside: ${message}`);
    assert.equal(await page.$eval('#authorise-dialog', (d) => d.open), true);
    await page.click('#authorise-form button.cancel');
    await station.request('manager', 'POST', '/api/v1/fuel-points/2/open');
    await page.close();
});

test('the price dialog: a typed mistake is caught in the page, a new price reaches the grade', async () => {
    const page = await consoleFor('manager', { language: 'ru' });
    const before = (await station.request('manager', 'GET', '/api/v1/forecourt')).body.grades.find((g) => g.code === '98').price;
    await page.click('button[data-action="price"][data-grade="98"]');
    await page.waitForSelector('#price-dialog[open]');
    await page.$eval('#price-value', (input) => { input.value = ''; });
    await page.type('#price-value', '53,7,9');
    await page.click('#price-form button[type=submit]');
    await page.waitForFunction(() => document.querySelector('#price-error').textContent.includes('Введите число'));

    await page.$eval('#price-value', (input) => { input.value = ''; });
    await page.type('#price-value', '53,79');
    await page.click('#price-form button[type=submit]');
    await page.waitForSelector('#price-dialog:not([open])', { timeout: 30000 });
    await page.waitForFunction(() => document.querySelector('tr[data-grade="98"] .price').textContent === '53,79');
    const grade = (await station.request('manager', 'GET', '/api/v1/forecourt')).body.grades.find((g) => g.code === '98');
    assert.equal(grade.price, 53.79);
    assert.notEqual(before, 53.79);
    await page.close();
});

test('the emergency stop asks first, then stops the running fill', async () => {
    await freePump(3);
    const page = await consoleFor('manager');
    const answer = await station.request('till-2', 'POST', '/api/v1/fuel-points/3/authorise', { preset: { kind: 'volume', value: 30 } });
    assert.equal(answer.status, 200, JSON.stringify(answer.body));
    await waitState(page, 3, 'FUELLING', 30000);

    await page.click('#emergency');
    await page.waitForSelector('#emergency-dialog[open]');
    await page.click('#emergency-form button.cancel');
    await page.waitForSelector('#emergency-dialog:not([open])');
    assert.equal(await stateOf(page, 3), 'FUELLING', 'cancelled: nothing stopped');

    await page.click('#emergency');
    await page.waitForSelector('#emergency-dialog[open]');
    await page.click('#emergency-form button[type=submit]');
    await page.waitForFunction(() => [...document.querySelectorAll('.toast.ok')].some((t) => t.textContent.includes('Emergency stop')));
    await until(async () => (await stateOf(page, 3)) !== 'FUELLING', { timeout: 20000, what: 'pump 3 stopped' });
    await page.close();
});

test('a viewer sees no action, and a request it forces is refused', async () => {
    await freePump(3);
    const page = await consoleFor('screen');
    assert.deepEqual(await page.$$eval('button[data-action]', (buttons) => buttons.map((b) => b.dataset.action)), []);
    assert.equal(await page.$eval('#emergency', (b) => b.hidden), true);
    assert.match(await page.$eval('#who', (who) => who.textContent), /screen · viewer/);
    const status = await page.evaluate(async () => {
        const response = await fetch('/api/v1/fuel-points/3/authorise', {
            method: 'POST',
            headers: { Authorization: `Bearer ${sessionStorage.getItem('fuel.token')}`, 'Idempotency-Key': 'forced-1', 'Content-Type': 'application/json' },
            body: '{}',
        });
        return response.status;
    });
    assert.equal(status, 403);
    assert.ok(['IDLE', 'CALLING'].includes((await station.point(3)).state));
    await page.close();
});

test('languages: Russian words and decimal commas, and back', async () => {
    const page = await consoleFor('manager', { language: 'ru-RU' });
    assert.equal(await page.$eval('#language', (s) => s.value), 'ru');
    assert.equal(await page.$eval('.tile[data-point="5"] .badge', (b) => b.textContent), 'Нет связи');
    assert.match(await page.$eval('tr[data-grade="95"] .price', (p) => p.textContent), /^\d+,\d\d$/);
    await page.select('#language', 'en');
    assert.equal(await page.$eval('.tile[data-point="5"] .badge', (b) => b.textContent), 'Offline');
    assert.match(await page.$eval('tr[data-grade="95"] .price', (p) => p.textContent), /^\d+\.\d\d$/);
    await page.close();
});

test('a till’s screen and a tablet held upright: nothing wider than the screen', async () => {
    for (const [width, height] of [[1280, 800], [800, 1280]]) {
        const page = await consoleFor('manager', { width, height });
        const widest = await page.evaluate(() => Math.max(document.documentElement.scrollWidth,
            ...[...document.querySelectorAll('.tile, .sale, .panel, .bar')].map((e) => e.getBoundingClientRect().right)));
        assert.ok(widest <= width, `${width}×${height}: ${widest}`);
        await page.close();
    }
});

test('the daemon restarted under an open page: the page says so and recovers by itself', async () => {
    await freePump(3);
    const page = await consoleFor('manager');
    await page.evaluate(() => { window.sameDocument = true; });
    await station.stop();
    await page.waitForSelector('#connection[data-status="reconnecting"]', { timeout: 20000 });
    assert.equal(await page.$eval('#stale', (s) => s.hidden), false);

    await station.start();
    await waitLive(page);
    assert.equal(await page.$eval('#stale', (s) => s.hidden), true);
    // Another till authorises: the open page sees it from the resumed stream.
    const answer = await station.request('till-2', 'POST', '/api/v1/fuel-points/3/authorise', { preset: { kind: 'volume', value: 2 } });
    assert.equal(answer.status, 200, JSON.stringify(answer.body));
    await waitState(page, 3, ['AUTHORISED', 'FUELLING']);
    assert.match(await page.$eval('.tile[data-point="3"] .details', (d) => d.textContent), /by till-2/);
    assert.equal(await page.evaluate(() => window.sameDocument), true, 'no reload');
    await page.close();
});

// Pump 4 is a controller that dispenses when a customer lifts a nozzle, set up as one whose
// fills start at the pump: its customers' fills are sales, told apart, without an alarm.
test('a fill started at the pump: shown as such on its tile and in the sales, with nothing to authorise or stop', async () => {
    const page = await consoleFor('manager');
    // The price report says which nozzles take no price: the tile says so instead of a dash.
    const price = await station.request('manager', 'PUT', '/api/v1/grades/92/price', { price: 48.19 });
    assert.equal(price.status, 200, JSON.stringify(price.body));
    assert.ok(price.body.nozzles.some((n) => n.fuelPoint === 4 && n.takesNoPrice), JSON.stringify(price.body));
    await page.waitForFunction(() => document.querySelector('.tile[data-point="4"] .nozzles li:nth-child(2) .p')?.textContent === 'no price');

    await waitState(page, 4, 'FUELLING', 120000);
    const tile = await page.$eval('.tile[data-point="4"]', (t) => ({
        details: t.querySelector('.details').textContent,
        unauthorised: t.classList.contains('unauthorised'),
        actions: [...t.querySelectorAll('button[data-action]')].map((b) => b.dataset.action),
    }));
    assert.match(tile.details, /started at the pump/);
    assert.equal(tile.unauthorised, false);
    assert.deepEqual(tile.actions, ['close'], 'nothing to authorise or stop');

    const row = await page.waitForSelector('.sale[data-origin="pump"]', { timeout: 120000 });
    const id = Number(await row.evaluate((r) => r.dataset.sale));
    const sale = (await station.request('manager', 'GET', `/api/v1/sales/${id}`)).body;
    assert.equal(sale.origin, 'pump');
    assert.equal(sale.authorisedBy, null);
    const marks = await row.evaluate((r) => [...r.querySelectorAll('.mark')].map((m) => m.dataset.mark));
    assert.deepEqual(marks, sale.amountComputed ? ['pump', 'computed'] : ['pump']);
    assert.match(await row.evaluate((r) => r.textContent), /Pump 4.*started at the pump/);
    assert.equal(await page.$eval('#alarms', (a) => a.hidden), true, 'no alarm for a pump set up so');
    await page.close();
});

// The controllers replaced while the daemon is down (their totalisers start again), and
// pump 4 no longer set up as one whose fills start there: alarms, until a till dismisses them.
test('alarms: a totaliser gone back and a fill nobody authorised, on a banner dismissed here and kept over a reload', async () => {
    const page = await consoleFor('manager');
    await page.evaluate(() => { window.sameDocument = true; });
    await station.stop();
    station.replaceControllers();
    await station.start();
    await waitLive(page);

    // Each nozzle whose totaliser had grown says it went back, as the open page resumes.
    const reset = await page.waitForSelector('#alarms .alarm[data-kind="totaliser-reset"]', { timeout: 30000 });
    assert.match(await reset.evaluate((a) => a.textContent), /Pump \d, nozzle \d: the totaliser went back from [\d,.]+ to [\d,.]+ L/);
    assert.equal(await page.evaluate(() => window.sameDocument), true, 'no reload');

    const unauthorised = await page.waitForSelector('#alarms .alarm[data-kind="unauthorised-fill"][data-point="4"]', { timeout: 120000 });
    assert.match(await unauthorised.evaluate((a) => a.textContent), /Pump 4, nozzle \d: a fill nobody authorised \(sale \d+\)/);
    const saleId = Number(/sale (\d+)/.exec(await unauthorised.evaluate((a) => a.textContent))[1]);
    // While it runs, the tile says no till released it; a till may stop it.
    const running = await page.$eval('.tile[data-point="4"]', (t) => ({ state: t.dataset.state, unauthorised: t.classList.contains('unauthorised'), hint: t.querySelector('.hint').textContent }));
    if (running.state === 'FUELLING') {
        assert.equal(running.unauthorised, true);
        assert.match(running.hint, /no till authorised it/);
    }
    const row = await page.waitForSelector(`.sale[data-sale="${saleId}"][data-origin="pump"]`, { timeout: 120000 });
    assert.match(await row.evaluate((r) => r.querySelector('.marks').textContent), /at the pump, not authorised/);

    // Dismissed here: gone from this tab, and not back after a reload; the others stay. (Pump
    // 4's next customer may raise another meanwhile: the alarms are told apart by their ids.)
    const shown = async () => page.$$eval('#alarms .alarm', (rows) => rows.map((r) => r.dataset.alarm));
    const dismissed = await unauthorised.evaluate((a) => a.dataset.alarm);
    const others = (await shown()).filter((alarm) => alarm !== dismissed);
    assert.ok(others.length >= 1, 'the totalisers’ alarms beside it');
    await page.click(`#alarms .alarm[data-alarm="${dismissed}"] button.dismiss`);
    assert.ok(!(await shown()).includes(dismissed));
    await page.reload();
    await waitLive(page);
    await page.waitForSelector('#alarms .alarm');
    const kept = await shown();
    assert.ok(!kept.includes(dismissed), 'a dismissed alarm stays dismissed');
    for (const alarm of others) assert.ok(kept.includes(alarm), `alarm ${alarm} kept over the reload`);
    assert.match(await page.$eval('#alarms h2', (h) => h.textContent), new RegExp(`Alarms: ${kept.length}`));
    await page.click(kept.length > 1 ? '#alarms button.dismiss-all' : '#alarms button.dismiss');
    await until(async () => (await shown()).every((alarm) => !kept.includes(alarm)), { what: 'every alarm dismissed' });
    await page.close();
});

test('no script error and no policy violation on any page', () => {
    assert.deepEqual(pageErrors, []);
});
