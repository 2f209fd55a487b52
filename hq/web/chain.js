// What several views need to know of the chain: its stations (with their health), their
// groups, and the grades they sell with each station's current price, read from the API and
// kept until the next refresh.

export class Chain {
    constructor(api) {
        this.api = api;
        this.stations = [];
        this.details = new Map(); // station id -> its detail, as last read
    }

    async refresh() {
        this.stations = (await this.api.get('/api/v1/stations')).stations;
        return this.stations;
    }

    // Every station's detail too (their prices): for the views that offer grades.
    async refreshAll() {
        await this.refresh();
        const details = await Promise.all(this.stations.map((station) => this.api.get(`/api/v1/stations/${encodeURIComponent(station.id)}`)));
        for (const detail of details) this.details.set(detail.station.id, detail);
        return this.stations;
    }

    groups() {
        return [...new Set(this.stations.flatMap((station) => station.groups))].sort();
    }

    // code -> name, from every station's prices.
    grades() {
        const grades = new Map();
        for (const detail of this.details.values()) {
            for (const price of detail.prices) if (!grades.has(price.grade) || price.name) grades.set(price.grade, price.name ?? price.grade);
        }
        return new Map([...grades].sort(([a], [b]) => a.localeCompare(b)));
    }
}
