// The dialogs that ask before something is sent: the preset of an authorisation, a grade's
// new price, the confirmation of an emergency stop. Each checks what was typed, sends it,
// and stays open with the server's message when the server refuses.

import { el } from './dom.js';
import { formatMoney, formatPrice, parseNumber } from './i18n.js';

function wire(dialog, onSubmit) {
    const form = dialog.querySelector('form');
    const submit = form.querySelector('button[type=submit]');
    const error = form.querySelector('.error');
    form.querySelector('button.cancel').addEventListener('click', () => dialog.close());
    form.addEventListener('submit', async (event) => {
        event.preventDefault();
        if (submit.disabled) return;
        if (error) error.textContent = '';
        submit.disabled = true;
        try {
            if (await onSubmit()) dialog.close();
        } finally {
            submit.disabled = false;
        }
    });
    return { form, error };
}

export class Dialogs {
    // app: {ctx(), send(action, target, request) -> Promise<{ok, message}>}
    constructor(app) {
        this.app = app;
        this.authorise = document.getElementById('authorise-dialog');
        this.price = document.getElementById('price-dialog');
        this.emergency = document.getElementById('emergency-dialog');
        this.point = null;
        this.grade = null;

        const authorise = wire(this.authorise, () => this.sendAuthorise());
        this.authoriseError = authorise.error;
        this.value = document.getElementById('authorise-value');
        for (const radio of authorise.form.querySelectorAll('input[name=kind]')) {
            radio.addEventListener('change', () => this.kindChanged());
        }
        this.priceError = wire(this.price, () => this.sendPrice()).error;
        wire(this.emergency, () => this.app.send('emergency', null));
    }

    kind() {
        return this.authorise.querySelector('input[name=kind]:checked').value;
    }

    kindChanged() {
        const none = this.kind() === 'none';
        this.value.disabled = none;
        if (!none) this.value.focus();
    }

    openAuthorise(point) {
        const { t } = this.app.ctx();
        this.point = point.id;
        document.getElementById('authorise-title').textContent = t('authorise.title', { id: point.id });
        this.authoriseError.textContent = '';
        this.value.value = '';
        document.getElementById('authorise-prepaid').checked = false;
        const grades = [...new Set(point.nozzles.map((n) => n.grade))];
        const box = document.getElementById('authorise-grades');
        box.replaceChildren(box.querySelector('legend'), ...grades.map((code) =>
            el('label', { class: 'check' }, el('input', { type: 'checkbox', value: code }), ` ${this.app.ctx().store.gradeName(code)}`)));
        box.hidden = grades.length < 2;
        this.authorise.showModal();
        this.kindChanged();
    }

    async sendAuthorise() {
        const { t, lang } = this.app.ctx();
        const kind = this.kind();
        const request = {};
        if (kind !== 'none') {
            const value = parseNumber(this.value.value);
            if (value === null || value <= 0) {
                this.authoriseError.textContent = t('input.badNumber', { example: formatMoney(lang, 20.5) });
                this.value.focus();
                return false;
            }
            request.preset = { kind, value };
        }
        const grades = [...document.querySelectorAll('#authorise-grades input:checked')].map((box) => box.value);
        if (grades.length > 0) request.grades = grades;
        if (document.getElementById('authorise-prepaid').checked) request.prepaid = true;
        const result = await this.app.send('authorise', this.point, request);
        if (!result.ok) this.authoriseError.textContent = result.message;
        return result.ok;
    }

    openPrice(grade) {
        const { t, lang } = this.app.ctx();
        this.grade = grade.code;
        document.getElementById('price-title').textContent = t('price.title', { grade: grade.name });
        document.getElementById('price-current').textContent = t('price.current', { price: formatPrice(lang, grade.price) });
        this.priceError.textContent = '';
        const input = document.getElementById('price-value');
        input.value = formatPrice(lang, grade.price);
        this.price.showModal();
        input.select();
    }

    async sendPrice() {
        const { t, lang } = this.app.ctx();
        const value = parseNumber(document.getElementById('price-value').value);
        if (value === null || value <= 0) {
            this.priceError.textContent = t('input.badNumber', { example: formatPrice(lang, 45.99) });
            return false;
        }
        const result = await this.app.send('price', this.grade, { price: value });
        if (!result.ok) this.priceError.textContent = result.message;
        return result.ok;
    }

    openEmergency() {
        this.emergency.showModal();
    }

    closeAll() {
        for (const dialog of [this.authorise, this.price, this.emergency]) if (dialog.open) dialog.close();
    }
}
