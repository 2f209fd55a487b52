// The daemon on the example station for the browser tests and the screenshots: its own
// temporary directory and database, its own free port, tokens for a back office, a till
// and a viewer, and a second line whose converter takes the connection and never answers
// (its pump is offline).

import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { randomBytes } from 'node:crypto';

const here = path.dirname(new URL(import.meta.url).pathname);
export const sourceDir = process.env.FUEL_SOURCE_DIR ?? path.resolve(here, '../..');
const daemonPath = process.env.FUEL_FORECOURTD ?? path.join(sourceDir, 'build/native/server/fuel-forecourtd');

// The example station as it ships, with its bus named by absolute path (the copy lives
// elsewhere) and one more line and pump: a converter on a loopback port nobody listens on.
function stationConfig(dir, silentPort) {
    const example = path.join(sourceDir, 'examples/forecourt');
    let text = fs.readFileSync(path.join(example, 'station.ini'), 'utf8');
    text = text.replace(/^port = emulator:(.*)$/m, (whole, bus) => `port = emulator:${path.resolve(example, bus)}`);
    text = text.replace(/^database = .*$/m, `database = ${path.join(dir, 'forecourt.db')}`);
    if (!/emulator:\//.test(text)) throw new Error('the example station has no emulator line to run on');
    return `${text}
[line yard]
port = tcp://127.0.0.1:${silentPort} timeout=100

[fuel-point 5]
line = yard
address = 1
nozzles = 95 DT
`;
}

// A converter whose dispenser is switched off: connections are taken, nothing is said.
async function silentConverter() {
    const sockets = new Set();
    const server = net.createServer((socket) => {
        sockets.add(socket);
        socket.on('error', () => {});
        socket.on('close', () => sockets.delete(socket));
        socket.resume();
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    server.closeAll = () => {
        for (const socket of sockets) socket.destroy();
        server.close();
    };
    return server;
}

export class Station {
    static async create() {
        return new Station(await silentConverter());
    }

    constructor(converter) {
        this.converter = converter;
        this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'fuel-web-'));
        this.config = path.join(this.dir, 'station.ini');
        fs.writeFileSync(this.config, stationConfig(this.dir, converter.address().port));
        this.tokens = {};
        for (const [name, role] of [['manager', 'backoffice'], ['till-2', 'pos'], ['screen', 'viewer']]) {
            this.tokens[name] = execFileSync(daemonPath, ['token', 'add', name, '--role', role, '--config', this.config], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }).trim();
        }
        this.port = 0;
        this.process = null;
        this.log = '';
    }

    get url() {
        return `http://127.0.0.1:${this.port}/`;
    }

    // While the daemon is stopped: the emulated controllers replaced by new ones (their
    // memory beside the journal gone: fresh totals), and fuel point 4 set up as if nobody had
    // said that its fills start at the pump, so that each of them is one no till authorised.
    replaceControllers() {
        if (this.process) throw new Error('the daemon runs: stop it first');
        fs.rmSync(path.join(this.dir, 'forecourt.db.forecourt.controllers'), { force: true });
        const text = fs.readFileSync(this.config, 'utf8');
        const changed = text.replace(/^release = pump$/m, '');
        if (changed === text) throw new Error('the example station has no fuel point whose fills start at the pump');
        fs.writeFileSync(this.config, changed);
    }

    // Starts the daemon (on the port it had before, after a restart) and waits until it
    // listens.
    async start() {
        const child = spawn(daemonPath, ['--config', this.config, '--listen', `127.0.0.1:${this.port}`, '--heartbeat', '2'], { stdio: ['ignore', 'ignore', 'pipe'] });
        this.process = child;
        child.stderr.setEncoding('utf8');
        // The log goes on across restarts: only this start's lines say it listens.
        const from = this.log.length;
        await new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error(`the daemon did not start:\n${this.log}`)), 30000);
            child.stderr.on('data', (text) => {
                this.log += text;
                const match = /listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(this.log.slice(from));
                if (match) {
                    this.port = Number(match[1]);
                    clearTimeout(timer);
                    resolve();
                }
            });
            child.on('exit', (code) => {
                clearTimeout(timer);
                reject(new Error(`the daemon ended with ${code}:\n${this.log}`));
            });
        });
        child.removeAllListeners('exit');
    }

    async stop() {
        const child = this.process;
        if (!child || child.exitCode !== null) return;
        this.process = null;
        const ended = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
        child.kill('SIGTERM');
        const timer = setTimeout(() => child.kill('SIGKILL'), 20000);
        const outcome = await ended;
        clearTimeout(timer);
        if (outcome.code !== 0) throw new Error(`the daemon stopped with ${outcome.code ?? outcome.signal}:\n${this.log}`);
    }

    async remove() {
        await this.stop();
        this.converter.closeAll();
        fs.rmSync(this.dir, { recursive: true, force: true });
    }

    // A request of another client (a till), as the tests' second party.
    async request(client, method, target, body) {
        const headers = { Authorization: `Bearer ${this.tokens[client]}` };
        if (method !== 'GET') {
            headers['Idempotency-Key'] = randomBytes(16).toString('hex');
            headers['Content-Type'] = 'application/json';
        }
        const response = await fetch(new URL(target, this.url), { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
        return { status: response.status, body: await response.json().catch(() => null) };
    }

    async point(id) {
        return (await this.request('manager', 'GET', `/api/v1/fuel-points/${id}`)).body;
    }
}

// Debian's chromium, headless, with everything off that would reach for the network.
export async function launchBrowser(puppeteer) {
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'fuel-chromium-'));
    const browser = await puppeteer.launch({
        executablePath: process.env.FUEL_CHROMIUM ?? '/usr/bin/chromium',
        headless: true,
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync',
            `--user-data-dir=${profile}`],
    });
    const close = browser.close.bind(browser);
    browser.close = async () => {
        await close();
        fs.rmSync(profile, { recursive: true, force: true });
    };
    return browser;
}

// Waits until check() gives something truthy; its last failure is the error.
export async function until(check, { timeout = 15000, every = 100, what = 'the condition' } = {}) {
    const end = Date.now() + timeout;
    let last;
    for (;;) {
        try {
            const value = await check();
            if (value) return value;
        } catch (error) {
            last = error;
        }
        if (Date.now() > end) throw new Error(`timed out waiting for ${what}${last ? `: ${last.message}` : ''}`);
        await new Promise((resolve) => setTimeout(resolve, every));
    }
}
