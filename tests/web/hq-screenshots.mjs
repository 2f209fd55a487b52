// The head office console's pictures for docs/headoffice.md: the stations (in English and in
// Russian), a station, a report, a campaign's form and its progress (once the build has
// campaigns), and the alarms, against a chain of two stations (chain.mjs). Run after a
// build, from the repository's root:
//     node tests/web/hq-screenshots.mjs [OUTPUT-FOLDER]     (default docs/images)

import path from 'node:path';

import puppeteer from 'puppeteer-core';

import { Chain } from './chain.mjs';
import { launchBrowser, sourceDir, until } from './station.mjs';

const out = path.resolve(process.argv[2] ?? path.join(sourceDir, 'docs/images'));
const chain = await Chain.start();
if (chain.skip) throw new Error(chain.skip);
const browser = await launchBrowser(puppeteer);

async function open(client, view, { language = 'en', width = 1280, height = 800 } = {}) {
    const page = await browser.newPage();
    page.on('pageerror', (error) => console.error(`${view}: ${error.message}`));
    page.on('response', (response) => {
        if (response.status() >= 400) console.error(`${view}: ${response.status()} ${response.url()}`);
    });
    await page.evaluateOnNewDocument((tag) => Object.defineProperty(navigator, 'languages', { get: () => [tag] }), language);
    await page.setViewport({ width, height });
    await page.goto(new URL(view, chain.url).href);
    await page.type('#token', chain.tokens[client]);
    await page.click('#sign-in-form button[type=submit]');
    await page.waitForSelector('#connection[data-status="live"]', { timeout: 30000 });
    return page;
}

// Each page closed once taken: a browser keeps six connections to a server, and each page
// holds one for its change stream.
async function shoot(page, name, { keep = false } = {}) {
    await new Promise((resolve) => setTimeout(resolve, 500));
    await page.screenshot({ path: path.join(out, name) });
    console.log(`wrote ${path.join(out, name)}`);
    if (!keep) await page.close();
}

try {
    // Some sales at both stations, one station stopped (offline, with its alarm), the other
    // with its pump closed.
    for (const [station, litres] of [['north-1', 12.5], ['south-2', 30], ['north-1', 8], ['south-2', 4.2]]) await chain.command(`fill ${station} ${litres}`);
    await chain.command('toggle north-1 1');
    const stations = await open('bob', '#stations');
    await until(async () => (await stations.$$('tr.station[data-health="ok"]')).length === 2, { timeout: 60000, what: 'both stations online' });
    await chain.command('stop south-2');
    await stations.waitForSelector('tr.station[data-station="south-2"][data-health="bad"] td.alarms.some', { timeout: 60000 });
    await shoot(stations, 'hq-stations.png');
    const russian = await open('screen', '#stations', { language: 'ru' });
    await russian.waitForSelector('tr.station[data-station="south-2"][data-health="bad"]');
    await shoot(russian, 'hq-stations-ru.png');

    const station = await open('bob', '#station/north-1');
    await station.waitForSelector('.tile[data-point="1"][data-state="CLOSED"]');
    await shoot(station, 'hq-station.png');

    const report = await open('alice', '#reports');
    await report.waitForSelector('#report-chart svg');
    await shoot(report, 'hq-report.png');

    const alarms = await open('bob', '#alarms');
    await alarms.waitForSelector('tr.alarm[data-kind="station-offline"]', { timeout: 60000 });
    await shoot(alarms, 'hq-alarms.png');
    await chain.command('start south-2');

    if ((await chain.request('bob', 'GET', '/api/v1/price-campaigns')).status === 200) {
        await chain.request('bob', 'PUT', '/api/v1/price-bounds/95', { lowest: 40, highest: 50, largestChange: 1 });
        const form = await open('alice', '#campaigns');
        await form.waitForSelector('#campaign-grade option[value="95"]');
        await form.select('#campaign-grade', '95');
        await form.click('#campaign-groups input[value="north"]');
        await form.click('#campaign-groups input[value="south"]');
        await form.type('#campaign-price', '47.49');
        await form.type('#campaign-note', 'Winter price');
        await form.waitForSelector('#campaign-check[data-state="held"]');
        await shoot(form, 'hq-campaign-form.png', { keep: true });
        await form.click('#campaign-send');
        await form.waitForSelector('#view-campaign[data-state="held"]');
        const id = (await form.evaluate(() => location.hash)).split('/')[1];
        const approver = await open('bob', `#campaign/${id}`);
        await approver.waitForSelector('#campaign-approve:not([hidden])');
        await approver.click('#campaign-approve');
        await approver.waitForSelector('#view-campaign[data-state="done"]', { timeout: 90000 });
        await shoot(approver, 'hq-campaign.png');
    }
} finally {
    await browser.close();
    await chain.stop();
}
