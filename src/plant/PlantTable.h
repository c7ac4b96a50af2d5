#ifndef PLANTTABLE_H_
#define PLANTTABLE_H_

// The plant's table: the station's key and the line's number (unique together), the line's
// fields, the whole line, in types that PostgreSQL, SQL Server and MariaDB all take; a journal
// line as its row.

#include "plant/PlantOdbc.h"

#include <nlohmann/json.hpp>

#include <optional>

#include <string>
#include <vector>

struct PlantColumn {
    const char *name;
    const char *type;
    size_t width; // characters of a text column (0: a number)
};
constexpr size_t PLANT_COLUMN_COUNT = 18;
constexpr size_t PLANT_LINE_MAX = 8000; // the whole line's column: a longer line is counted, not stored
extern const PlantColumn PLANT_COLUMNS[PLANT_COLUMN_COUNT];

// "station_key, line_no, ...": every column, in order.
std::string plantColumnList();
// Its CREATE TABLE, as the README gives it.
std::string plantCreateTable(const std::string &table);
// A journal line (its number, its text) as the table's row for the station `key`; host and
// carried stand where the line names none (the station's own lines).
std::vector<OdbcValue> plantRow(const std::string &key, size_t number, const std::string &line, const std::string &host,
                                const std::string &carried);
// A text field of a JSON object (a file may hold anything in it), or none.
std::optional<std::string> plantTextAt(const nlohmann::ordered_json &object, const char *key);

#endif
