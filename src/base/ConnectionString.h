#ifndef CONNECTIONSTRING_H_
#define CONNECTIONSTRING_H_

// An ODBC connection string ("Driver={...};Server=db;Uid=fw;Pwd=..."), as it may be shown: its
// password never, wherever the string or a part of it would be printed.

#include <string>

// The string with the value of each Pwd= or Password= (any case) as "***": "Pwd=***".
std::string connectionMasked(const std::string &connection);
// Whether text names a password (Pwd= or Password=, any case), as a part of a string may.
bool connectionHoldsPassword(const std::string &text);
// text (a driver's message) with the connection's password hidden wherever it stands: the
// string itself masked, each password ("{a;b}}c}" and "a;b}c" alike) as "***".
std::string connectionPasswordsHidden(const std::string &text, const std::string &connection);

#endif
