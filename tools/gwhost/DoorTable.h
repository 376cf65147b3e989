// The door table: every device with its door sets and, per door, the five points with name, state and
// state type, as text columns or as JSON.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "SiPassVormekGateway.h"

// The table as text lines, UTF-8; widths count characters, so names with umlauts line up.
std::string doorTableText(const Device* devices, int32_t deviceCount, int32_t doorCount);

// {"deviceCount", "doorCount", "devices": [{"id", "name", "doors": [{"door", "points": [{"role", "id",
//  "name", "state", ...}]}]}]}; a missing point (id 0) is left out.
nlohmann::ordered_json doorTableJson(const Device* devices, int32_t deviceCount, int32_t doorCount);

// One point as JSON: its role in the door, id, name, state and state type by number and name, server
// time, location, description.
nlohmann::ordered_json pointJson(const PointDefinition& point, const char* role);
nlohmann::ordered_json pointStateJson(int32_t id, const PointState& state);
