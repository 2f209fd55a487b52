// The head office's console in a real browser (Debian's chromium, headless) against a chain:
// PostgreSQL, mosquitto, fuel-hq and two fuel-forecourtd stations on their emulators
// (chain.mjs). The stations and their health, a station's fuel points following it live, a
// report with its chart and CSV, an alarm acknowledged, both languages, what a viewer is not
// offered, and a price campaign from its form to every station's outcome.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

import puppeteer from 'puppeteer-core';

import { Chain } from './chain.mjs';
import { launchBrowser, until } from './station.mjs';

let chain;
let browser;
let skip = null;
const pageErrors = [];

before(async () => {
    chain = await Chain.start();
    if (chain.skip) {
        skip = chain.skip;
        return;
    }
    browser = await launchBrowser(puppeteer);
});

after(async () => {
    await browser?.close();
    if (!skip) await chain?.stop();
    assert.deepEqual(pageErrors, [], 'the pages ran without errors and within their policy');
});

async function open(client, view = '', { language = 'en', width = 1280, height = 800 } = {}) {
    const page = await browser.newPage();
    page.on('pageerror', (error) => pageErrors.push(error.message));
    page.on('console', (message) => {
        if (/Content Security Policy/i.test(message.text())) pageErrors.push(message.text());
    });
    await page.evaluateOnNewDocument((tag) => Object.defineProperty(navigator, 'languages', { get: () => [tag] }), language);
    await page.setViewport({ width, height });
    await page.goto(new URL(view, chain.url).href);
    await page.waitForSelector('#token', { visible: true });
    await page.type('#token', chain.tokens[client]);
    await page.click('#sign-in-form button[type=submit]');
    await page.waitForSelector('#connection[data-status="live"]', { timeout: 30000 });
    return page;
}

const healthOf = (page, id) => page.$eval(`tr.station[data-station="${id}"]`, (row) => row.dataset.health);

test('the stations, each with its health, filtered by group and by problem', async (t) => {
    if (skip) return t.skip(skip);
    const page = await open('screen');
    await until(async () => (await healthOf(page, 'north-1')) === 'ok' && (await healthOf(page, 'south-2')) === 'ok', { timeout: 60000, what: 'both stations online' });
    assert.equal(await page.$eval('tr.station[data-station="north-1"] td:nth-child(2)', (td) => td.textContent), 'north');
    await page.select('#filter-group', 'south');
    assert.deepEqual(await page.$$eval('tr.station', (rows) => rows.map((r) => r.dataset.station)), ['south-2']);
    await page.select('#filter-group', '');
    await page.select('#filter-problem', 'offline');
    await page.waitForSelector('#stations-empty:not([hidden])');
    await page.select('#filter-problem', '');
    await page.click('tr.station[data-station="north-1"] a');
    await page.waitForSelector('#view-station:not([hidden]) .tile[data-point="1"]');
    assert.equal(await page.evaluate(() => location.hash), '#station/north-1');
    await page.close();
});

test('a station: its fuel point follows it live, and today’s sales count its fill', async (t) => {
    if (skip) return t.skip(skip);
    const page = await open('bob', '#station/north-1');
    await page.waitForSelector('.tile[data-point="1"]');
    const count = async () => Number(await page.$eval('#station-today-total', (p) => p.dataset.count));
    const before = await count();
    await chain.command('toggle north-1 1');
    await page.waitForSelector('.tile[data-point="1"][data-state="CLOSED"]', { timeout: 20000 });
    await chain.command('toggle north-1 1');
    await page.waitForFunction(() => document.querySelector('.tile[data-point="1"]')?.dataset.state !== 'CLOSED', { timeout: 20000 });
    await chain.command('fill north-1 2.5');
    await until(async () => (await count()) === before + 1, { timeout: 30000, what: 'the fill among today’s sales' });
    assert.ok(await page.$('#station-today tr.sale[data-state="CLEARED"]'));
    assert.match(await page.$eval('#station-prices tr[data-grade="95"] .price', (td) => td.textContent), /45\.67/);
    await page.close();
});

test('a report: sales per day of one station as a chart and a table, and as CSV', async (t) => {
    if (skip) return t.skip(skip);
    await chain.command('fill south-2 4');
    const page = await open('alice', '#reports');
    await page.waitForSelector('#report-scope option[value="station:south-2"]');
    await page.select('#report-scope', 'station:south-2');
    await page.select('#report-measure', 'count');
    await page.click('#report-form button[type=submit]');
    const today = new Date().toISOString().slice(0, 10);
    await page.waitForSelector(`#report-table tr[data-day="${today}"]`);
    const wanted = (await chain.request('alice', 'GET', `/api/v1/reports/sales?from=${today}T00:00:00Z&station=south-2`)).body.rows[0].count;
    assert.ok(wanted >= 1);
    assert.equal(await page.$$eval('#report-chart svg rect.bar', (bars) => bars.length), 7);
    assert.equal(await page.$eval(`#report-chart rect.bar[data-day="${today}"]`, (bar) => Number(bar.dataset.value)), wanted);
    assert.ok(await page.$eval(`#report-chart rect.bar[data-day="${today}"]`, (bar) => Number(bar.getAttribute('height')) > 0));
    assert.equal(await page.$eval('#report-table .total-count', (th) => Number(th.textContent)), wanted);

    const downloads = fs.mkdtempSync(path.join(os.tmpdir(), 'fuel-hq-csv-'));
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
    await page.click('#report-csv');
    const file = await until(() => fs.readdirSync(downloads).find((name) => name.endsWith('.csv')), { what: 'the CSV downloaded' });
    const lines = fs.readFileSync(path.join(downloads, file), 'utf8').trimEnd().split('\r\n');
    fs.rmSync(downloads, { recursive: true, force: true });
    assert.equal(lines[0], 'day,volume,amount,count');
    assert.equal(lines.length, 8);
    assert.match(file, /south-2/);
    assert.equal(lines.find((line) => line.startsWith(today)).split(',')[3], String(wanted));
    await page.close();
});

test('a station stopped raises an alarm; an administrator acknowledges it, a viewer is not offered to', async (t) => {
    if (skip) return t.skip(skip);
    const page = await open('bob', '#alarms');
    await chain.command('stop south-2');
    try {
        await page.waitForSelector('tr.alarm[data-kind="station-offline"] button.acknowledge', { timeout: 60000 });
        const viewer = await open('screen', '#alarms');
        await viewer.waitForSelector('tr.alarm[data-kind="station-offline"]');
        assert.equal(await viewer.$('button.acknowledge'), null);
        await viewer.goto(new URL('#stations', chain.url).href);
        await viewer.waitForSelector('tr.station[data-station="south-2"][data-health="bad"]', { timeout: 30000 });
        await viewer.close();

        const id = await page.$eval('tr.alarm[data-kind="station-offline"]', (row) => row.dataset.alarm);
        await page.click(`tr.alarm[data-alarm="${id}"] button.acknowledge`);
        await page.waitForFunction((alarm) => !document.querySelector(`tr.alarm[data-alarm="${alarm}"]`), {}, id);
        const all = (await chain.request('screen', 'GET', '/api/v1/alarms?state=all')).body.alarms;
        assert.equal(all.find((alarm) => String(alarm.id) === id).acknowledgedBy, 'bob');
    } finally {
        await chain.command('start south-2');
    }
    await page.close();
});

test('both languages: the browser’s first, and the switch', async (t) => {
    if (skip) return t.skip(skip);
    const page = await open('screen', '', { language: 'ru-RU' });
    assert.equal(await page.evaluate(() => document.documentElement.lang), 'ru');
    assert.equal(await page.$eval('#nav a[data-view="stations"]', (a) => a.textContent), 'АЗС');
    assert.match(await page.$eval('#who', (w) => w.textContent), /наблюдатель/);
    await page.select('#language', 'en');
    await page.waitForFunction(() => document.querySelector('#nav a[data-view="stations"]').textContent === 'Stations');
    assert.equal(await page.$eval('th[data-text="stations.health"]', (th) => th.textContent), 'Health');
    await page.close();
});

test('a viewer is offered no action', async (t) => {
    if (skip) return t.skip(skip);
    const page = await open('screen', '#campaigns');
    assert.equal(await page.$eval('#campaign-form', (form) => form.hidden), true);
    await page.goto(new URL('#alarms', chain.url).href);
    await page.select('#alarms-state', 'all');
    await page.waitForSelector('tr.alarm');
    assert.equal(await page.$('button.acknowledge'), null);
    await page.goto(new URL('#campaigns', chain.url).href);
    await page.waitForSelector('#campaigns tbody tr, #campaigns-empty:not([hidden])');
    assert.equal(await page.$$eval('.view:not([hidden]) button:not([hidden])', (buttons) => buttons.filter((b) => b.offsetParent !== null).length), 0);
    await page.close();
});

test('a price campaign: checked as it is typed, held, approved by a second user, applied at every station', async (t) => {
    if (skip) return t.skip(skip);
    const bounds = await chain.request('bob', 'PUT', '/api/v1/price-bounds/95', { lowest: 40, highest: 50, largestChange: 1 });
    assert.equal(bounds.status, 200, JSON.stringify(bounds.body));

    const alice = await open('alice', '#campaigns');
    await alice.waitForSelector('#campaign-grade option[value="95"]');
    await alice.select('#campaign-grade', '95');
    await alice.click('#campaign-groups input[value="north"]');
    await alice.click('#campaign-groups input[value="south"]');
    await alice.type('#campaign-price', '47.99');
    await alice.waitForSelector('#campaign-check[data-state="held"] li[data-bound="largest-change"]');
    assert.match(await alice.$eval('#campaign-check .targets', (p) => p.textContent), /north-1, south-2/);
    await alice.$eval('#campaign-price', (input) => { input.value = ''; });
    await alice.type('#campaign-price', '45.99');
    await alice.waitForSelector('#campaign-check[data-state="clear"]');
    await alice.$eval('#campaign-price', (input) => { input.value = ''; });
    await alice.type('#campaign-price', '46.99');
    await alice.waitForSelector('#campaign-check[data-state="held"]');
    await alice.click('#campaign-send');
    await alice.waitForSelector('#view-campaign[data-state="held"]');
    assert.equal(await alice.$eval('#campaign-approve', (b) => b.hidden), true, 'pricing may not approve');
    const id = (await alice.evaluate(() => location.hash)).split('/')[1];

    const bob = await open('bob', `#campaign/${id}`);
    await bob.waitForSelector('#campaign-approve:not([hidden])');
    await bob.click('#campaign-approve');
    // The author's page follows the campaign live, to every station's answer.
    await alice.waitForSelector('#view-campaign[data-state="done"]', { timeout: 90000 });
    const outcomes = await alice.$$eval('tr.outcome', (rows) => rows.map((r) => [r.dataset.station, r.dataset.state]));
    assert.deepEqual(outcomes.sort(), [['north-1', 'applied'], ['south-2', 'applied']]);
    await bob.goto(new URL('#station/north-1', chain.url).href);
    await until(async () => /46\.99/.test(await bob.$eval('#station-prices tr[data-grade="95"] .price', (td) => td.textContent)), { timeout: 30000, what: 'the new price at the station' });
    await alice.close();
    await bob.close();
});
