// Trying again after a failure, for the whole console: the event stream's reconnection, a
// change whose answer was lost, the sign-in and the forecourt's load while the server is
// away. The caller says how long to wait after so many failures in a row, when to give up,
// and when the result is no longer wanted.

// What run() resolves with once the result is no longer wanted.
export const Stopped = Symbol('stopped');

// Waits in ms after `failures` failures in a row (1, 2, …): one step more each time, or
// twice as long each time, up to a cap; or one of a list, then no more tries (null).
export const linearDelay = (stepMs, maxMs) => (failures) => Math.min(stepMs * failures, maxMs);
export const doublingDelay = (firstMs, maxMs) => (failures) => Math.min(firstMs * 2 ** (failures - 1), maxMs);
export const listedDelay = (delaysMs) => (failures) => delaysMs[failures - 1] ?? null;

export class Retry {
    // options: delayMs(failures, error) -> the wait before the next try, or null: give up,
    // and run() rejects with that error; stopped() -> true once the result is not wanted;
    // onWait(failures, delayMs, error) before each wait; setTimeout, clearTimeout.
    constructor(options) {
        this.delayMs = options.delayMs;
        this.stopped = options.stopped ?? (() => false);
        this.onWait = options.onWait ?? (() => {});
        this.setTimeout = options.setTimeout ?? globalThis.setTimeout.bind(globalThis);
        this.clearTimeout = options.clearTimeout ?? globalThis.clearTimeout.bind(globalThis);
        this.failures = 0;
        this.wake = null;
    }

    // Calls attempt() until it returns, and resolves with what it returned; resolves with
    // Stopped, without another try, once stopped() says so.
    async run(attempt) {
        this.failures = 0;
        for (;;) {
            if (this.stopped()) return Stopped;
            try {
                return await attempt();
            } catch (error) {
                if (this.stopped()) return Stopped;
                ++this.failures;
                const delay = this.delayMs(this.failures, error);
                if (delay === null || delay === undefined) throw error;
                this.onWait(this.failures, delay, error);
                await this.sleep(delay);
            }
        }
    }

    // The try got somewhere (a stream went live before it dropped): the next failure is a
    // first one again, with the shortest wait.
    reset() {
        this.failures = 0;
    }

    // Ends the current wait now: the browser is back online, or the caller stops.
    now() {
        this.wake?.();
    }

    sleep(ms) {
        return new Promise((resolve) => {
            let timer = null;
            const done = () => {
                if (timer !== null) this.clearTimeout(timer);
                this.wake = null;
                resolve();
            };
            this.wake = done;
            timer = this.setTimeout(done, ms);
        });
    }
}
