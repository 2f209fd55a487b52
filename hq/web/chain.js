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

    // code -> name, from every station's grades (its info) and prices (its price events).
    grades() {
        const grades = new Map();
        for (const detail of this.details.values()) {
            for (const grade of gradesOf(detail)) if (!grades.has(grade.code) || grade.name !== grade.code) grades.set(grade.code, grade.name);
        }
        return new Map([...grades].sort(([a], [b]) => a.localeCompare(b)));
    }
}

// A station's grades with their prices as last known: a price event is newer than the info
// the station sent when it started.
export function gradesOf(detail) {
    const grades = new Map((detail.grades ?? []).map((g) => [g.code, { code: g.code, name: g.name ?? g.code, price: g.price, at: null }]));
    for (const p of detail.prices ?? []) grades.set(p.grade, { code: p.grade, name: p.name ?? grades.get(p.grade)?.name ?? p.grade, price: p.price, at: p.at });
    return [...grades.values()].sort((a, b) => a.code.localeCompare(b.code));
}
