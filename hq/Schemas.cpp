#include "hq/Schemas.h"

#include "hq/Roles.h"
#include "http/OpenApi.h"
#include "http/Time.h"

namespace fuel::hq {
namespace {

// Answers are closed (additionalProperties false) where the head office makes them, so that
// a field it sends but the document does not name fails the document's test; what a
// station sent and the head office keeps as sent (a fuel point, a change's data) is open.
constexpr const char* kSchemas = R"json({
  "Time": {"type": "string", "format": "date-time",
           "description": "RFC 3339 in UTC with milliseconds", "example": "2024-05-01T10:00:00.000Z"},
  "OptionalTime": {"type": ["string", "null"], "format": "date-time"},
  "Client": {
    "type": "object", "additionalProperties": false, "required": ["name", "role", "permissions"],
    "properties": {
      "name": {"type": "string"},
      "role": {"description": "one of the roles (filled from the role table)"},
      "permissions": {"type": "array", "items": {"type": "string"}}
    }
  },
  "Station": {
    "type": "object", "additionalProperties": false,
    "required": ["id", "groups", "version", "status", "statusSince", "lastEventAt", "published",
                 "watermark", "applied", "lag", "gapSince", "openAlarms", "silent"],
    "properties": {
      "id": {"type": "string"},
      "groups": {"type": "array", "items": {"type": "string"}},
      "version": {"type": ["string", "null"], "description": "fuel-forecourtd's, from its info"},
      "status": {"enum": ["unknown", "online", "offline"]},
      "statusSince": {"$ref": "#/components/schemas/OptionalTime"},
      "lastEventAt": {"$ref": "#/components/schemas/OptionalTime"},
      "published": {"type": "integer", "description": "the highest sequence received"},
      "watermark": {"type": "integer", "description": "every event up to it is held"},
      "applied": {"type": "integer", "description": "the derived tables hold events up to it"},
      "lag": {"type": "integer", "description": "published - watermark: events missing"},
      "gapSince": {"$ref": "#/components/schemas/OptionalTime"},
      "openAlarms": {"type": "integer", "description": "alarms not yet acknowledged"},
      "silent": {"type": "boolean",
                 "description": "no event for longer than the head office's silent-after"}
    }
  },
  "Stations": {
    "type": "object", "additionalProperties": false, "required": ["stations"],
    "properties": {"stations": {"type": "array", "items": {"$ref": "#/components/schemas/Station"}}}
  },
  "Sale": {
    "type": "object", "additionalProperties": false,
    "required": ["station", "id", "fuelPoint", "nozzle", "grade", "price", "volume", "amount",
                 "state", "authorisedBy", "lockedBy", "clearedBy", "startedAt", "endedAt",
                 "lockedAt", "clearedAt", "sequence"],
    "properties": {
      "station": {"type": "string"},
      "id": {"type": "integer", "description": "the station's sale id"},
      "fuelPoint": {"type": "integer"},
      "nozzle": {"type": "integer"},
      "grade": {"type": "string"},
      "price": {"type": "number"},
      "volume": {"type": "number"},
      "amount": {"type": "number"},
      "state": {"enum": ["PAYABLE", "LOCKED", "CLEARED"]},
      "authorisedBy": {"type": ["string", "null"]},
      "lockedBy": {"type": ["string", "null"]},
      "clearedBy": {"type": ["string", "null"]},
      "startedAt": {"$ref": "#/components/schemas/OptionalTime"},
      "endedAt": {"$ref": "#/components/schemas/OptionalTime"},
      "lockedAt": {"$ref": "#/components/schemas/OptionalTime"},
      "clearedAt": {"$ref": "#/components/schemas/OptionalTime"},
      "sequence": {"type": "integer", "description": "the station's event that made it so"}
    }
  },
  "SalesPage": {
    "type": "object", "additionalProperties": false, "required": ["sales", "next"],
    "properties": {
      "sales": {"type": "array", "items": {"$ref": "#/components/schemas/Sale"}},
      "next": {"type": ["string", "null"],
               "description": "the link to the next page; null on the last"}
    }
  },
  "FuelPoint": {
    "type": "object", "required": ["id", "state"],
    "description": "the fuel point as the station's last event of it showed it, with when",
    "properties": {
      "id": {"type": "integer"},
      "state": {"type": "string"},
      "at": {"$ref": "#/components/schemas/Time"},
      "sequence": {"type": "integer"}
    }
  },
  "Price": {
    "type": "object", "additionalProperties": false, "required": ["grade", "name", "price", "at"],
    "properties": {
      "grade": {"type": "string"},
      "name": {"type": ["string", "null"]},
      "price": {"type": "number"},
      "at": {"$ref": "#/components/schemas/Time"}
    }
  },
  "StationDetail": {
    "type": "object", "additionalProperties": false,
    "required": ["station", "fuelPoints", "grades", "prices", "waitingSales"],
    "properties": {
      "station": {"$ref": "#/components/schemas/Station"},
      "fuelPoints": {"type": "array", "items": {"$ref": "#/components/schemas/FuelPoint"}},
      "grades": {"type": "array", "items": {"type": "object"},
                 "description": "the grades as the station's info last told them: code, name, price"},
      "prices": {"type": "array", "items": {"$ref": "#/components/schemas/Price"}},
      "waitingSales": {"type": "array", "items": {"$ref": "#/components/schemas/Sale"},
                       "description": "sales not cleared yet, oldest first"}
    }
  },
  "ReportRow": {
    "type": "object", "additionalProperties": false, "required": ["volume", "amount", "count"],
    "properties": {
      "day": {"type": "string", "description": "YYYY-MM-DD, in UTC (with by=day)"},
      "station": {"type": "string", "description": "with by=station"},
      "grade": {"type": "string", "description": "with by=grade"},
      "volume": {"type": "number"},
      "amount": {"type": "number"},
      "count": {"type": "integer"}
    }
  },
  "Report": {
    "type": "object", "additionalProperties": false, "required": ["by", "rows"],
    "properties": {
      "by": {"type": "array", "items": {"enum": ["day", "station", "grade"]}},
      "rows": {"type": "array", "items": {"$ref": "#/components/schemas/ReportRow"}}
    }
  },
  "Alarm": {
    "type": "object", "additionalProperties": false,
    "required": ["id", "station", "kind", "fuelPoint", "message", "data", "sequence", "raisedAt",
                 "clearedAt", "acknowledgedAt", "acknowledgedBy"],
    "properties": {
      "id": {"type": "integer"},
      "station": {"type": "string"},
      "kind": {"type": "string"},
      "fuelPoint": {"type": ["integer", "null"]},
      "message": {"type": "string"},
      "data": {"type": "object"},
      "sequence": {"type": ["integer", "null"],
                   "description": "the station's alarm event; null for the head office's own"},
      "raisedAt": {"$ref": "#/components/schemas/Time"},
      "clearedAt": {"$ref": "#/components/schemas/OptionalTime"},
      "acknowledgedAt": {"$ref": "#/components/schemas/OptionalTime"},
      "acknowledgedBy": {"type": ["string", "null"]}
    }
  },
  "AlarmsPage": {
    "type": "object", "additionalProperties": false, "required": ["alarms", "next"],
    "properties": {
      "alarms": {"type": "array", "items": {"$ref": "#/components/schemas/Alarm"}},
      "next": {"type": ["string", "null"]}
    }
  },
  "Money": {"type": "number", "description": "a price, in the stations' money"},
  "OptionalMoney": {"type": ["number", "null"], "description": "null: no such bound"},
  "PriceBounds": {
    "type": "object", "additionalProperties": false,
    "required": ["grade", "lowest", "highest", "largestChange", "source", "setBy", "setAt"],
    "properties": {
      "grade": {"type": "string"},
      "lowest": {"$ref": "#/components/schemas/OptionalMoney"},
      "highest": {"$ref": "#/components/schemas/OptionalMoney"},
      "largestChange": {"$ref": "#/components/schemas/OptionalMoney",
                        "description": "from a station's current price of the grade, either way"},
      "source": {"enum": ["configuration", "admin"],
                 "description": "hq.ini's [bounds], or an administrator's, which wins"},
      "setBy": {"type": ["string", "null"]},
      "setAt": {"$ref": "#/components/schemas/OptionalTime"}
    }
  },
  "PriceBoundsList": {
    "type": "object", "additionalProperties": false, "required": ["bounds"],
    "properties": {"bounds": {"type": "array", "items": {"$ref": "#/components/schemas/PriceBounds"}}}
  },
  "PriceBoundsRequest": {
    "type": "object", "additionalProperties": false,
    "description": "a bound left out or null: no such bound",
    "properties": {
      "lowest": {"$ref": "#/components/schemas/OptionalMoney"},
      "highest": {"$ref": "#/components/schemas/OptionalMoney"},
      "largestChange": {"$ref": "#/components/schemas/OptionalMoney"}
    }
  },
  "CampaignRequest": {
    "type": "object", "additionalProperties": false, "required": ["grade", "price"],
    "description": "stations and groups: at least one target in all",
    "properties": {
      "grade": {"type": "string", "minLength": 1, "maxLength": 32},
      "price": {"type": "number",
                "description": "a whole number of hundredths from 0.01 to 99.99"},
      "stations": {"type": "array", "maxItems": 10000,
                   "items": {"type": "string", "minLength": 1, "maxLength": 128}},
      "groups": {"type": "array", "maxItems": 1000,
                 "items": {"type": "string", "minLength": 1, "maxLength": 128}},
      "at": {"$ref": "#/components/schemas/Time",
             "description": "when it takes effect; left out: at once"},
      "note": {"type": "string", "maxLength": 2000}
    }
  },
  "HeldBound": {
    "type": "object", "additionalProperties": false, "required": ["bound", "limit", "message"],
    "properties": {
      "bound": {"enum": ["lowest", "highest", "largest-change"]},
      "limit": {"type": "number"},
      "station": {"type": "string", "description": "for largest-change"},
      "current": {"type": "number", "description": "for largest-change: the station's price"},
      "message": {"type": "string"}
    }
  },
  "CampaignCheck": {
    "type": "object", "additionalProperties": false,
    "required": ["targets", "held", "bounds", "current"],
    "properties": {
      "targets": {"type": "array", "items": {"type": "string"}},
      "held": {"type": "array", "items": {"$ref": "#/components/schemas/HeldBound"}},
      "bounds": {"$ref": "#/components/schemas/PriceBounds"},
      "current": {"type": "object", "additionalProperties": {"type": ["number", "null"]},
                  "description": "each target's price of the grade as last known; null: none"}
    }
  },
  "CampaignCounts": {
    "type": "object", "additionalProperties": false,
    "required": ["pending", "applied", "failed", "unreachable", "superseded", "cancelled"],
    "properties": {
      "pending": {"type": "integer"}, "applied": {"type": "integer"},
      "failed": {"type": "integer"}, "unreachable": {"type": "integer"},
      "superseded": {"type": "integer"}, "cancelled": {"type": "integer"}
    }
  },
  "CampaignOutcome": {
    "type": "object", "additionalProperties": false,
    "required": ["station", "state", "reason", "message", "sentAt", "answeredAt", "attempts"],
    "properties": {
      "station": {"type": "string"},
      "state": {"enum": ["pending", "applied", "failed", "unreachable", "superseded", "cancelled"]},
      "reason": {"type": ["string", "null"], "description": "the station's, when failed"},
      "message": {"type": ["string", "null"]},
      "sentAt": {"$ref": "#/components/schemas/OptionalTime"},
      "answeredAt": {"$ref": "#/components/schemas/OptionalTime"},
      "attempts": {"type": "integer", "description": "times the command was sent"}
    }
  },
  "Campaign": {
    "type": "object", "additionalProperties": false,
    "required": ["id", "commandId", "grade", "price", "stations", "groups", "at", "note", "state",
                 "createdBy", "createdAt", "approvedBy", "approvedAt", "cancelledBy",
                 "cancelledAt", "held", "counts"],
    "properties": {
      "id": {"type": "integer"},
      "commandId": {"type": "string", "description": "the price command's id at the stations"},
      "grade": {"type": "string"},
      "price": {"$ref": "#/components/schemas/Money"},
      "stations": {"type": "array", "items": {"type": "string"}},
      "groups": {"type": "array", "items": {"type": "string"}},
      "at": {"$ref": "#/components/schemas/OptionalTime"},
      "note": {"type": ["string", "null"]},
      "state": {"enum": ["held", "scheduled", "sending", "done", "cancelled"]},
      "createdBy": {"type": "string"},
      "createdAt": {"$ref": "#/components/schemas/Time"},
      "approvedBy": {"type": ["string", "null"]},
      "approvedAt": {"$ref": "#/components/schemas/OptionalTime"},
      "cancelledBy": {"type": ["string", "null"]},
      "cancelledAt": {"$ref": "#/components/schemas/OptionalTime"},
      "held": {"type": "array", "items": {"$ref": "#/components/schemas/HeldBound"}},
      "counts": {"$ref": "#/components/schemas/CampaignCounts"},
      "outcomes": {"type": "array", "items": {"$ref": "#/components/schemas/CampaignOutcome"},
                   "description": "by station; not in lists"}
    }
  },
  "CampaignsPage": {
    "type": "object", "additionalProperties": false, "required": ["campaigns", "next"],
    "properties": {
      "campaigns": {"type": "array", "items": {"$ref": "#/components/schemas/Campaign"}},
      "next": {"type": ["string", "null"]}
    }
  },
  "EmptyRequest": {"type": "object", "additionalProperties": false, "properties": {}},
  "Health": {
    "type": "object", "additionalProperties": false, "required": ["status", "database"],
    "properties": {"status": {"enum": ["ok", "failing"]}, "database": {"type": "string"}}
  }
})json";

}  // namespace

const nlohmann::json& Components() {
    static const nlohmann::json components = [] {
        nlohmann::json schemas = nlohmann::json::parse(kSchemas);
        nlohmann::json& client = schemas["Client"]["properties"];
        for (const RoleInfo& role : Roles())
            client["role"]["enum"].push_back(role.name);
        return nlohmann::json{{"schemas", std::move(schemas)}};
    }();
    return components;
}

const nlohmann::json& SchemaRoot() {
    static const nlohmann::json root = {{"components", Components()}};
    return root;
}

nlohmann::json Ref(const std::string& name) {
    return http::SchemaRef(name);
}

const http::Formats& SchemaFormats() {
    // The handlers read a "date-time" with the same reader the station's API uses.
    static const http::Formats formats = {
        {"date-time",
         {[](std::string_view text) { return http::ParseTime(text).has_value(); },
          "a time as RFC 3339 writes it, e.g. 2024-05-01T10:00:00Z"}}};
    return formats;
}

}  // namespace fuel::hq
