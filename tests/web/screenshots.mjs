// The console's pictures for docs/forecourt.md (and one for the README): the forecourt idle,
// fuelling, with sales waiting, with a pump offline and one closed (on a tablet, in Russian),
// the price dialog, and the alarms of controllers replaced under the station and of a fill
// nobody authorised. Run after a build, from the repository's root:
//     node tests/web/screenshots.mjs [OUTPUT-FOLDER]     (default docs/images)

import path from 'node:path';

import puppeteer from 'puppeteer-core';

import { Station, launchBrowser, sourceDir, until } from './station.mjs';

const out = path.resolve(process.argv[2] ?? path.join(sourceDir, 'docs/images'));
const station = await Station.create();
await station.start();
const browser = await launchBrowser(puppeteer);

async function open(client, { language = 'en', width = 1280, height = 800 } = {}) {
    const page = await browser.newPage();
    await page.evaluateOnNewDocument((tag) => Object.defineProperty(navigator, 'languages', { get: () => [tag] }), language);
    await page.setViewport({ width, height });
    await page.goto(station.url);
    await page.type('#token', station.tokens[client]);
    await page.click('#sign-in-form button[type=submit]');
    await page.waitForSelector('#connection[data-status="live"]', { timeout: 30000 });
    await page.waitForSelector('.line[data-line="yard"]');
    return page;
}

async function shoot(page, name) {
    await new Promise((resolve) => setTimeout(resolve, 300));
    await page.screenshot({ path: path.join(out, name) });
    console.log(`wrote ${path.join(out, name)}`);
}

const state = async (id) => (await station.point(id)).state;
const free = async (id) => until(async () => ['IDLE', 'CALLING'].includes(await state(id)), { timeout: 60000, what: `pump ${id} free` });

try {
    const page = await open('manager');
    // Pump 4's customers dispense by themselves, one after another: it is caught between two.
    await until(async () => {
        const states = await Promise.all([1, 2, 3, 4].map(state));
        return states.every((s) => s === 'IDLE');
    }, { timeout: 300000, every: 250, what: 'every pump idle' });
    await shoot(page, 'forecourt-idle.png');

    await station.request('till-2', 'POST', '/api/v1/fuel-points/1/authorise', { preset: { kind: 'money', value: 400 } });
    await station.request('till-2', 'POST', '/api/v1/fuel-points/3/authorise', { preset: { kind: 'volume', value: 12 } });
    await station.request('manager', 'POST', '/api/v1/fuel-points/2/authorise', { preset: { kind: 'volume', value: 30 }, prepaid: true });
    await until(async () => (await station.point(1)).fill?.volume > 2 && (await station.point(3)).fill?.volume > 1, { timeout: 60000, what: 'two fills running' });
    await shoot(page, 'forecourt-fuelling.png');

    await Promise.all([free(1), free(3)]);
    await station.request('till-2', 'POST', '/api/v1/fuel-points/1/authorise', { preset: { kind: 'money', value: 150 } });
    await free(1);
    await station.request('manager', 'POST', '/api/v1/fuel-points/2/stop');
    await free(2);
    const sales = (await station.request('manager', 'GET', '/api/v1/sales?state=PAYABLE')).body.sales;
    await station.request('till-2', 'POST', `/api/v1/sales/${sales.at(-1).id}/lock`);
    await page.waitForSelector('.sale[data-state="LOCKED"]');
    await shoot(page, 'forecourt-sales.png');

    await page.click('button[data-action="price"][data-grade="95"]');
    await page.waitForSelector('#price-dialog[open]');
    await page.$eval('#price-value', (input) => { input.value = ''; });
    await page.type('#price-value', '46.19');
    await shoot(page, 'price-dialog.png');
    await page.close();

    await station.request('manager', 'POST', '/api/v1/fuel-points/2/close');
    const tablet = await open('till-2', { language: 'ru', width: 800, height: 1280 });
    await shoot(tablet, 'forecourt-offline.png');
    await tablet.close();
    await station.request('manager', 'POST', '/api/v1/fuel-points/2/open');

    // New controllers under the station (their totalisers start again), and pump 4 no longer
    // set up as one whose fills start at the pump: its next customer's fill is one nobody
    // authorised. Pump 4's earlier fills wait in the sales, marked as started at the pump.
    // The page is open across the restart: it resumes its stream where it was, so the alarms
    // raised as the daemon starts reach it.
    const alarms = await open('manager');
    await station.stop();
    station.replaceControllers();
    await station.start();
    await alarms.waitForSelector('#connection[data-status="live"]', { timeout: 30000 });
    await alarms.waitForSelector('#alarms .alarm[data-kind="totaliser-reset"]', { timeout: 30000 });
    await alarms.waitForSelector('#alarms .alarm[data-kind="unauthorised-fill"]', { timeout: 180000 });
    await until(async () => (await station.point(4)).fill?.volume > 1, { timeout: 60000, what: 'the fill nobody authorised running' });
    await shoot(alarms, 'forecourt-alarm.png');
} finally {
    await browser.close();
    await station.remove();
}
