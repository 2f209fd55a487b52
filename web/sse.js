// Server-Sent Events parsed as the HTML standard says, from text that arrives in pieces of
// any size: the console reads the stream with fetch (an EventSource cannot send the
// Authorization header), so the browser's own parser is not there to do it.

export class SseParser {
    // onEvent({type, data, lastEventId}) for each complete event.
    constructor(onEvent, lastEventId = '') {
        this.onEvent = onEvent;
        this.lastEventId = lastEventId;
        this.retry = null; // the server's reconnection time in ms, once it gave one
        this.line = '';
        this.data = [];
        this.type = '';
        this.idBuffer = lastEventId;
        this.started = false;
        this.afterCarriageReturn = false;
    }

    push(text) {
        let start = 0;
        if (!this.started && text.length > 0) {
            this.started = true;
            if (text.charCodeAt(0) === 0xfeff) start = 1;
        }
        for (let i = start; i < text.length; ++i) {
            const c = text[i];
            if (c === '\n' && this.afterCarriageReturn) {
                // The LF of a CRLF whose CR ended the previous piece.
                this.afterCarriageReturn = false;
                continue;
            }
            this.afterCarriageReturn = false;
            if (c === '\r' || c === '\n') {
                if (c === '\r') {
                    if (text[i + 1] === '\n') ++i;
                    else if (i + 1 === text.length) this.afterCarriageReturn = true;
                }
                this.takeLine(this.line);
                this.line = '';
            } else {
                // Up to the next line end at once: long data lines are the common case.
                let end = i;
                while (end < text.length && text[end] !== '\r' && text[end] !== '\n') ++end;
                this.line += text.slice(i, end);
                i = end - 1;
            }
        }
    }

    takeLine(line) {
        if (line === '') {
            this.dispatch();
            return;
        }
        if (line[0] === ':') return; // a comment: the heartbeat
        const colon = line.indexOf(':');
        const field = colon < 0 ? line : line.slice(0, colon);
        let value = colon < 0 ? '' : line.slice(colon + 1);
        if (value[0] === ' ') value = value.slice(1);
        switch (field) {
            case 'event':
                this.type = value;
                break;
            case 'data':
                this.data.push(value);
                break;
            case 'id':
                if (!value.includes('\0')) this.idBuffer = value;
                break;
            case 'retry':
                if (/^[0-9]+$/.test(value)) this.retry = Number(value);
                break;
            default:
                break; // unknown fields are ignored
        }
    }

    dispatch() {
        this.lastEventId = this.idBuffer;
        const data = this.data;
        const type = this.type;
        this.data = [];
        this.type = '';
        if (data.length === 0) return;
        this.onEvent({ type: type || 'message', data: data.join('\n'), lastEventId: this.lastEventId });
    }
}
