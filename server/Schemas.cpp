#include "server/Schemas.h"

#include "forecourt/Model.h"
#include "http/OpenApi.h"
#include "server/Roles.h"

namespace fuel::server {
namespace {

// Written as JSON, the way a reader of the OpenAPI document sees it. Answers are closed
// (additionalProperties false) so that a field the server sends but the document does not
// name fails the document's test instead of surprising a client. The errors' schema is the
// HTTP stack's (http/OpenApi.h), as is their form.
constexpr const char* kSchemas = R"json({
  "Time": {"type": "string", "format": "date-time",
           "description": "RFC 3339 in UTC with milliseconds", "example": "2024-05-01T10:00:00.000Z"},
  "Client": {
    "type": "object", "additionalProperties": false, "required": ["name", "role", "permissions"],
    "properties": {
      "name": {"type": "string", "description": "the client the token belongs to"},
      "role": {"description": "one of the roles (enum filled from the role table)"},
      "permissions": {"type": "array", "items": {},
                      "description": "what the role may do: read; sell (authorise, stop, sales); emergency-stop; close (and open); price"}
    }
  },
  "Preset": {
    "type": "object", "additionalProperties": false, "required": ["kind", "value"],
    "properties": {
      "kind": {"enum": ["none", "volume", "money"]},
      "value": {"type": "number", "minimum": 0, "description": "litres or money; 0 with none"}
    }
  },
  "PresetRequest": {
    "type": "object", "additionalProperties": false, "required": ["kind"],
    "properties": {
      "kind": {"enum": ["none", "volume", "money"]},
      "value": {"type": "number", "exclusiveMinimum": 0,
                "description": "litres or money; required with volume and money, not with none; at most what the controllers carry"}
    }
  },
  "Grade": {
    "type": "object", "additionalProperties": false, "required": ["code", "name", "price"],
    "properties": {"code": {"type": "string"}, "name": {"type": "string"},
                   "price": {"type": "number", "description": "per litre, in force"}}
  },
  "Nozzle": {
    "type": "object", "additionalProperties": false, "required": ["number", "grade", "price", "takesNoPrice"],
    "properties": {
      "number": {"type": "integer", "minimum": 1, "maximum": 6},
      "grade": {"type": "string"},
      "price": {"type": "number", "description": "the price its controller last confirmed; 0 before any"},
      "takesNoPrice": {"type": "boolean", "description": "its controller dispenses on its own and keeps no price"}
    }
  },
  "Fill": {
    "type": "object", "additionalProperties": false,
    "required": ["id", "state", "authorised", "preset", "grades", "prepaid", "authorisedBy",
                 "nozzle", "grade", "price", "volume", "amount", "authorisedAt", "startedAt"],
    "properties": {
      "id": {"type": ["integer", "null"], "description": "the sale-to-be's id; null until the journal holds it"},
      "state": {"enum": ["AUTHORISED", "FUELLING"]},
      "authorised": {"type": "boolean"},
      "preset": {"$ref": "#/components/schemas/Preset"},
      "grades": {"type": "array", "items": {"type": "string"}},
      "prepaid": {"type": "boolean"},
      "authorisedBy": {"type": ["string", "null"]},
      "nozzle": {"type": ["integer", "null"]},
      "grade": {"type": ["string", "null"]},
      "price": {"type": "number"},
      "volume": {"type": "number"},
      "amount": {"type": "number"},
      "authorisedAt": {"anyOf": [{"$ref": "#/components/schemas/Time"}, {"type": "null"}]},
      "startedAt": {"anyOf": [{"$ref": "#/components/schemas/Time"}, {"type": "null"}]}
    }
  },
  "FuelPoint": {
    "type": "object", "additionalProperties": false,
    "required": ["id", "line", "address", "state", "closed", "nozzles", "fill", "saleBuffer",
                 "unclearedSales", "release"],
    "properties": {
      "id": {"type": "integer"},
      "line": {"type": "string"},
      "address": {"type": "integer", "minimum": 1, "maximum": 32},
      "state": {"enum": ["CLOSED", "IDLE", "CALLING", "AUTHORISED", "FUELLING", "OFFLINE", "ERROR"]},
      "closed": {"type": "boolean"},
      "nozzles": {"type": "array", "items": {"$ref": "#/components/schemas/Nozzle"}},
      "fill": {"anyOf": [{"$ref": "#/components/schemas/Fill"}, {"type": "null"}]},
      "saleBuffer": {"type": "integer"},
      "unclearedSales": {"type": "integer"},
      "release": {"enum": ["api", "pump"], "description": "api: a client releases each fill; pump: its fills start at the pump (a controller on its own), nothing to authorise or stop"}
    }
  },
  "Forecourt": {
    "type": "object", "additionalProperties": false, "required": ["fuelPoints", "grades", "sequence"],
    "properties": {
      "fuelPoints": {"type": "array", "items": {"$ref": "#/components/schemas/FuelPoint"}},
      "grades": {"type": "array", "items": {"$ref": "#/components/schemas/Grade"}},
      "sequence": {"type": "integer", "description": "the last event this view includes: stream events since it"}
    }
  },
  "Sale": {
    "type": "object", "additionalProperties": false,
    "required": ["id", "fuelPoint", "nozzle", "grade", "price", "volume", "amount", "state",
                 "authorisedBy", "lockedBy", "clearedBy", "totalBefore", "totalAfter",
                 "authorisedAt", "startedAt", "endedAt", "lockedAt", "clearedAt", "preset", "prepaid",
                 "origin", "amountComputed"],
    "properties": {
      "id": {"type": "integer"},
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
      "totalBefore": {"type": "number"},
      "totalAfter": {"type": "number"},
      "authorisedAt": {"$ref": "#/components/schemas/Time"},
      "startedAt": {"$ref": "#/components/schemas/Time"},
      "endedAt": {"$ref": "#/components/schemas/Time"},
      "lockedAt": {"anyOf": [{"$ref": "#/components/schemas/Time"}, {"type": "null"}]},
      "clearedAt": {"anyOf": [{"$ref": "#/components/schemas/Time"}, {"type": "null"}]},
      "preset": {"$ref": "#/components/schemas/Preset"},
      "prepaid": {"type": "boolean"},
      "origin": {"enum": ["api", "pump"],
                 "description": "api: released by a client; pump: a fill nobody authorised (a manual release, a controller on its own), authorisedBy null"},
      "amountComputed": {"type": "boolean",
                         "description": "the controller gave no amount: it is the volume at the price the fill ran at"}
    }
  },
  "SaleList": {
    "type": "object", "additionalProperties": false, "required": ["sales", "next"],
    "properties": {
      "sales": {"type": "array", "items": {"$ref": "#/components/schemas/Sale"}},
      "next": {"type": ["string", "null"],
               "description": "the next page, the same filters read on from this page's last sale (stable while sales arrive); null on the last page"}
    }
  },
  "AuthoriseRequest": {
    "type": "object", "additionalProperties": false,
    "properties": {
      "preset": {"$ref": "#/components/schemas/PresetRequest"},
      "grades": {"type": "array", "maxItems": 6, "items": {"type": "string", "minLength": 1, "maxLength": 64},
                 "description": "the grades the fill may take; none or empty: any nozzle"},
      "prepaid": {"type": "boolean", "description": "lock the sale to this client when the fill ends"}
    }
  },
  "EmptyRequest": {"type": "object", "additionalProperties": false, "properties": {}},
  "PriceRequest": {
    "type": "object", "additionalProperties": false, "required": ["price"],
    "properties": {"price": {"type": "number", "exclusiveMinimum": 0,
                            "description": "per litre, at most what the controllers carry"}}
  },
  "PriceReport": {
    "type": "object", "additionalProperties": false, "required": ["grade", "nozzles"],
    "properties": {
      "grade": {"$ref": "#/components/schemas/Grade"},
      "nozzles": {"type": "array", "items": {
        "type": "object", "additionalProperties": false,
        "required": ["fuelPoint", "nozzle", "confirmed", "deferred", "takesNoPrice", "error"],
        "properties": {
          "fuelPoint": {"type": "integer"}, "nozzle": {"type": "integer"},
          "confirmed": {"type": "boolean"},
          "deferred": {"type": "boolean", "description": "in a fill: takes the price when it ends"},
          "takesNoPrice": {"type": "boolean", "description": "a controller that dispenses on its own keeps no price: no failure of the change"},
          "error": {"type": ["string", "null"]}
        }
      }}
    }
  },
  "EmergencyStopResult": {
    "type": "object", "additionalProperties": false, "required": ["fuelPoints"],
    "properties": {"fuelPoints": {"type": "array", "items": {"type": "integer"}}}
  },
  "Totals": {
    "type": "object", "additionalProperties": false, "required": ["fuelPoint", "at", "nozzles"],
    "properties": {
      "fuelPoint": {"type": "integer"},
      "at": {"anyOf": [{"$ref": "#/components/schemas/Time"}, {"type": "null"}],
             "description": "when the oldest of these readings was taken; null before any"},
      "nozzles": {"type": "array", "items": {
        "type": "object", "additionalProperties": false, "required": ["nozzle", "grade", "volume", "at"],
        "properties": {"nozzle": {"type": "integer"}, "grade": {"type": "string"},
                       "volume": {"type": ["number", "null"], "description": "the totaliser as the line last read it, litres; null before any reading"},
                       "at": {"anyOf": [{"$ref": "#/components/schemas/Time"}, {"type": "null"}],
                              "description": "when it was read; the line reads a totaliser older than a few seconds again, in its own time, when a client asks"}}
      }}
    }
  },
  "TotaliserFigure": {
    "type": "object", "additionalProperties": false, "required": ["at", "total"],
    "properties": {"at": {"$ref": "#/components/schemas/Time"}, "total": {"type": "number"}}
  },
  "Reconciliation": {
    "type": "object", "additionalProperties": false, "required": ["from", "to", "tolerance", "nozzles"],
    "properties": {
      "from": {"$ref": "#/components/schemas/Time"},
      "to": {"$ref": "#/components/schemas/Time"},
      "tolerance": {"type": "number"},
      "nozzles": {"type": "array", "items": {
        "type": "object", "additionalProperties": false,
        "required": ["fuelPoint", "nozzle", "grade", "first", "last", "growth", "recorded", "sales",
                     "resets", "difference", "discrepancies"],
        "properties": {
          "fuelPoint": {"type": "integer"}, "nozzle": {"type": "integer"},
          "grade": {"type": "string"},
          "first": {"anyOf": [{"$ref": "#/components/schemas/TotaliserFigure"}, {"type": "null"}],
                    "description": "the totaliser's first figure in the period (a fill's start or end, or a reading); null when it has none"},
          "last": {"anyOf": [{"$ref": "#/components/schemas/TotaliserFigure"}, {"type": "null"}],
                   "description": "its last figure in the period"},
          "growth": {"type": "number", "description": "last less first, less the falls where the totaliser was reset"},
          "recorded": {"type": "number", "description": "the litres of the sales between first and last"},
          "sales": {"type": "integer", "description": "how many sales those are"},
          "resets": {"type": "integer", "description": "how often the totaliser went back (a controller replaced or reset)"},
          "difference": {"type": "number", "description": "growth less recorded"},
          "discrepancies": {"type": ["string", "null"],
                            "description": "where the difference is beyond the tolerance: the link to the stretches that make it up"}
        }
      }}
    }
  },
  "DiscrepancyPage": {
    "type": "object", "additionalProperties": false,
    "required": ["fuelPoint", "nozzle", "from", "to", "tolerance", "discrepancies", "next"],
    "properties": {
      "fuelPoint": {"type": "integer"}, "nozzle": {"type": "integer"},
      "from": {"$ref": "#/components/schemas/Time"},
      "to": {"$ref": "#/components/schemas/Time"},
      "tolerance": {"type": "number"},
      "discrepancies": {"type": "array", "items": {
        "type": "object", "additionalProperties": false,
        "required": ["from", "to", "totalFrom", "totalTo", "growth", "recorded", "difference",
                     "fillBefore", "fillAfter"],
        "properties": {
          "from": {"$ref": "#/components/schemas/Time"},
          "to": {"$ref": "#/components/schemas/Time"},
          "totalFrom": {"type": "number"}, "totalTo": {"type": "number"},
          "growth": {"type": "number"}, "recorded": {"type": "number"},
          "difference": {"type": "number"},
          "fillBefore": {"type": ["integer", "null"], "description": "the last fill of ours that ended at or before the stretch"},
          "fillAfter": {"type": ["integer", "null"], "description": "the first fill of ours that started at or after it"}
        }
      }},
      "next": {"type": ["string", "null"], "description": "the next page; null once the period is done"}
    }
  },
  "Event": {
    "type": "object", "additionalProperties": false, "required": ["id", "type", "at", "data"],
    "description": "A WebSocket message; on the Server-Sent Events stream the data: line of each event",
    "properties": {
      "id": {"type": ["integer", "null"], "description": "the journal's sequence number; null for fill progress, which is not kept"},
      "type": {"description": "one of the event types"},
      "at": {"$ref": "#/components/schemas/Time"},
      "data": {"type": "object", "description": "fuel-point and fill-progress: a FuelPoint; sale: a Sale; fill-cancelled: a Fill with its reason; price: a PriceReport; emergency-stop: who and which fuel points; alarm: an Alarm; reload (live only, to a client that resumed after an event the journal no longer keeps): after (where it resumed), oldest (the oldest event kept, or null): read the forecourt again, the stream goes on after this event's id"}
    }
  },
  "Alarm": {
    "type": "object", "required": ["kind", "fuelPoint", "message"],
    "description": "Something at the station that people must look at. unauthorised-fill: nozzle, sale; totaliser-reset: nozzle, before, after; journal-failed (fuelPoint 0, raised once the journal writes again): since, error",
    "properties": {
      "kind": {"description": "one of the alarm kinds"},
      "fuelPoint": {"type": "integer"},
      "message": {"type": "string"},
      "nozzle": {"type": "integer"},
      "sale": {"type": "integer"},
      "before": {"type": "number"},
      "after": {"type": "number"},
      "since": {"type": "string"},
      "error": {"type": "string"}
    }
  },
  "Health": {
    "type": "object", "additionalProperties": false, "required": ["status", "journal", "lines"],
    "properties": {
      "status": {"enum": ["ok", "failing"]},
      "journal": {
        "type": "object", "additionalProperties": false, "required": ["ok", "lastSequence"],
        "properties": {"ok": {"type": "boolean"}, "lastSequence": {"type": ["integer", "null"]},
                       "error": {"type": "string"},
                       "writing": {"type": "boolean", "description": "false while commits fail (a full disk, an I/O error): no fill is authorised meanwhile"},
                       "failingSince": {"type": "string", "format": "date-time"}}
      },
      "lines": {"type": "array", "items": {
        "type": "object", "additionalProperties": false,
        "required": ["line", "port", "up", "fuelPoints", "cycles"],
        "properties": {
          "line": {"type": "string"}, "port": {"type": "string"}, "up": {"type": "boolean"},
          "fuelPoints": {"type": "array", "items": {"type": "integer"}},
          "cycles": {"type": "integer"}
        }
      }}
    }
  }
})json";

}  // namespace

const nlohmann::json& Components() {
    static const nlohmann::json components = [] {
        nlohmann::json schemas = nlohmann::json::parse(kSchemas);
        // The roles and permissions from their table, not a second list of them.
        nlohmann::json& client = schemas["Client"]["properties"];
        for (const Role role : kRoles)
            client["role"]["enum"].push_back(Name(role));
        for (const Permission permission : kPermissions)
            client["permissions"]["items"]["enum"].push_back(Name(permission));
        // The event types and alarm kinds from the forecourt's lists.
        for (const std::string_view type : forecourt::event_type::kAll)
            schemas["Event"]["properties"]["type"]["enum"].push_back(type);
        for (const std::string_view kind : forecourt::alarm_kind::kAll)
            schemas["Alarm"]["properties"]["kind"]["enum"].push_back(kind);
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
    // The handlers parse a "date-time" with the forecourt's own reader: the check is that.
    static const http::Formats formats = {
        {"date-time",
         {[](std::string_view text) { return forecourt::ParseTime(text).has_value(); },
          "a time as RFC 3339 writes it, e.g. 2024-05-01T10:00:00Z"}}};
    return formats;
}

}  // namespace fuel::server
