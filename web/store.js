// What the console knows of the forecourt: the snapshot it loaded, brought up to date by
// each event of the stream. No DOM here: the views read it, the tests drive it.

export class Store {
    constructor() {
        this.points = new Map(); // id -> fuel point, as the API gives it
        this.grades = new Map(); // code -> grade
        this.sales = new Map(); // id -> sale, PAYABLE and LOCKED only
        // "fuelPoint/nozzle" of the nozzles a price report said take no price (a controller
        // that dispenses on its own): the fuel point's own view does not carry it.
        this.noPrice = new Set();
        this.sequence = 0;
    }

    loadSnapshot(snapshot) {
        this.points = new Map(snapshot.fuelPoints.map((point) => [point.id, point]));
        this.grades = new Map(snapshot.grades.map((grade) => [grade.code, grade]));
        this.sequence = snapshot.sequence;
    }

    loadSales(sales) {
        this.sales = new Map();
        for (const sale of sales) this.putSale(sale);
    }

    pointsInOrder() {
        return [...this.points.values()].sort((a, b) => a.id - b.id);
    }

    gradesInOrder() {
        return [...this.grades.values()].sort((a, b) => a.code.localeCompare(b.code));
    }

    // Newest first: the fill that just ended is the one the cashier is asked about.
    salesInOrder() {
        return [...this.sales.values()].sort((a, b) => b.id - a.id);
    }

    // Uncleared sales of a fuel point, counted from the sales themselves: a sale cleared
    // changes this without any event about the fuel point.
    salesOf(fuelPoint) {
        let count = 0;
        for (const sale of this.sales.values()) if (sale.fuelPoint === fuelPoint) ++count;
        return count;
    }

    // What the fuel point's view says, or a price report that came since.
    takesNoPrice(fuelPoint, nozzle) {
        const view = this.points.get(fuelPoint)?.nozzles?.find((n) => n.number === nozzle);
        return Boolean(view?.takesNoPrice) || this.noPrice.has(`${fuelPoint}/${nozzle}`);
    }

    gradeName(code) {
        return this.grades.get(code)?.name ?? code ?? '';
    }

    putSale(sale) {
        if (sale.state === 'PAYABLE' || sale.state === 'LOCKED') this.sales.set(sale.id, sale);
        else this.sales.delete(sale.id);
    }

    putPoint(point) {
        if (point && Number.isInteger(point.id)) this.points.set(point.id, point);
    }

    // Applies one event; says what changed, for the views, and what to tell the user.
    // {points: [ids], sales: bool, grades: bool, notice: {key, params} | null,
    //  alarm: the event | null}
    apply(event) {
        const changed = { points: [], sales: false, grades: false, notice: null, alarm: null };
        const data = event.data ?? {};
        if (typeof event.id === 'number' && event.id > this.sequence) this.sequence = event.id;
        switch (event.type) {
            case 'fuel-point':
            case 'fill-progress':
                this.putPoint(data);
                changed.points.push(data.id);
                break;
            case 'sale':
                this.putSale(data);
                changed.sales = true;
                break;
            case 'price': {
                const grade = data.grade;
                if (!grade) break;
                this.grades.set(grade.code, grade);
                changed.grades = true;
                for (const report of data.nozzles ?? []) {
                    if (!report.confirmed && !report.takesNoPrice) continue;
                    const point = this.points.get(report.fuelPoint);
                    const nozzle = point?.nozzles.find((n) => n.number === report.nozzle);
                    if (!nozzle) continue;
                    const key = `${point.id}/${nozzle.number}`;
                    if (report.takesNoPrice) {
                        this.noPrice.add(key);
                    } else {
                        this.noPrice.delete(key);
                        nozzle.price = grade.price;
                    }
                    if (!changed.points.includes(point.id)) changed.points.push(point.id);
                }
                changed.notice = { key: 'notice.price', params: { grade: grade.name, price: grade.price } };
                break;
            }
            case 'fill-cancelled':
                changed.notice = { key: 'notice.cancelled', params: { id: data.fuelPoint, reason: data.reason } };
                break;
            case 'alarm':
                changed.alarm = event;
                break;
            case 'emergency-stop':
                changed.notice = { key: 'notice.emergency', params: { by: data.by } };
                break;
            default:
                break;
        }
        return changed;
    }
}
