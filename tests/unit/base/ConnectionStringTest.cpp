// An ODBC connection string as it may be shown: its password never.
#include "base/ConnectionString.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectionString, ThePasswordIsNeverShown) {
    const struct {
        const char *connection, *shown;
    } cases[] = {
        {"Driver={PostgreSQL Unicode};Server=db;Uid=fw;Pwd=secret", "Driver={PostgreSQL Unicode};Server=db;Uid=fw;Pwd=***"},
        {"DSN=plant;PWD=secret;", "DSN=plant;PWD=***;"},
        {"DSN=plant; password = secret ;Uid=fw", "DSN=plant; password =***;Uid=fw"},
        {"Pwd={se;cr}}et};Server=db", "Pwd=***;Server=db"},      // braced: its ';' and '}}' are the password's
        {"Pwd={a}}b;c};Server=db", "Pwd=***;Server=db"},         // a ';' after a '}}' too
        {"Server=db;Pwd={unclosed;Uid=x", "Server=db;Pwd=***"},  // never shows what follows an open brace
        {"Server=db;Pwdx=shown", "Server=db;Pwdx=shown"},
        {"DSN=plant", "DSN=plant"},
        // A part of a string split at the space in its driver's name: a name begins after a ';'.
        {"Unicode};Pwd=secret;Server=db", "Unicode};Pwd=***;Server=db"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(connectionMasked(c.connection), c.shown) << c.connection;
        EXPECT_EQ(connectionHoldsPassword(c.connection), std::string(c.shown).find("***") != std::string::npos) << c.connection;
    }
}

TEST(ConnectionString, ADriversMessageShowsNoPassword) {
    const struct {
        const char *message, *connection, *shown;
    } cases[] = {
        {"login failed for fw (Pwd=secret)", "DSN=p;Pwd=secret", "login failed for fw (Pwd=***)"},
        {"bad password 'a;b}c' in Pwd={a;b}}c}", "DSN=p;Pwd={a;b}}c}", "bad password '***' in Pwd=***"},
        {"cannot read DSN=p;PWD=***;x", "DSN=p;PWD=***;x", "cannot read DSN=p;PWD=***;x"}, // "***" itself: no endless loop
        {"no such user ab", "DSN=p;Pwd=ab", "no such user ab"}, // two letters are not looked for
    };
    for (const auto &c : cases) EXPECT_EQ(connectionPasswordsHidden(c.message, c.connection), c.shown) << c.message;
}

} // namespace
