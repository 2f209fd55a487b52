// The chain the head office console's browser tests and pictures run against: the built
// hq_web_chain (tests/web/HqChain.cpp) starts PostgreSQL, mosquitto, fuel-hq and two
// stations, says where they are, and carries out commands on the stations.

import { spawn } from 'node:child_process';
import path from 'node:path';
import { randomBytes } from 'node:crypto';
import readline from 'node:readline';

import { sourceDir } from './station.mjs';

const chainPath = process.env.FUEL_HQ_CHAIN ?? path.join(sourceDir, 'build/native/tests/web/hq_web_chain');

export class Chain {
    // Resolves once the chain runs; {skip: why} in place of a chain when PostgreSQL is missing.
    static async start() {
        const child = spawn(chainPath, [], { stdio: ['pipe', 'pipe', 'pipe'] });
        let log = '';
        child.stderr.setEncoding('utf8');
        child.stderr.on('data', (text) => { log += text; });
        const lines = readline.createInterface({ input: child.stdout });
        const waiting = [];
        const pending = [];
        lines.on('line', (line) => {
            if (waiting.length) waiting.shift()(line);
            else pending.push(line);
        });
        const next = (timeout) => new Promise((resolve, reject) => {
            if (pending.length) return resolve(pending.shift());
            const timer = setTimeout(() => reject(new Error(`the chain did not answer in time:\n${log}`)), timeout);
            const exit = () => reject(new Error(`the chain ended:\n${log}`));
            child.once('exit', exit);
            waiting.push((line) => {
                clearTimeout(timer);
                child.off('exit', exit);
                resolve(line);
            });
        });
        const first = JSON.parse(await next(180000));
        if (first.skip) {
            child.stdin.end();
            return { skip: first.skip };
        }
        return new Chain(child, first, next);
    }

    constructor(child, setup, next) {
        this.child = child;
        this.url = setup.url;
        this.tokens = setup.tokens;
        this.stations = setup.stations;
        this.next = next;
        this.queue = Promise.resolve();
    }

    // One command on a station ("fill north-1 5"), in turn; rejects with the chain's error.
    command(line) {
        const run = this.queue.then(async () => {
            this.child.stdin.write(`${line}\n`);
            const answer = await this.next(120000);
            if (answer !== 'ok') throw new Error(`${line}: ${answer}`);
        });
        this.queue = run.catch(() => {});
        return run;
    }

    async stop() {
        const ended = new Promise((resolve) => this.child.once('exit', resolve));
        this.child.stdin.end();
        const timer = setTimeout(() => this.child.kill('SIGKILL'), 60000);
        await ended;
        clearTimeout(timer);
    }

    // A request of a client, as the tests' second party.
    async request(client, method, target, body) {
        const headers = { Authorization: `Bearer ${this.tokens[client]}` };
        if (method !== 'GET') {
            headers['Idempotency-Key'] = randomBytes(16).toString('hex');
            headers['Content-Type'] = 'application/json';
        }
        const response = await fetch(new URL(target, this.url), { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
        return { status: response.status, body: await response.json().catch(() => null) };
    }
}
