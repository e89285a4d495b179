// A fresh PostgreSQL database per test, on the throwaway cluster that scripts/test starts
// (QVX_PGHOST, QVX_PGPORT, QVX_PGUSER, QVX_PGPASSWORD, QVX_PGDATABASE). The database gets a
// unique name, is loaded with db/schema.sql and dropped at the end. Tests that need the
// server fail with a clear message when these variables are missing.
#pragma once

#include "infra/Config.h"

#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvx::test {

// The cluster's address and login, from the environment.
struct TPgServer {
    std::string Host;
    int32_t Port = 0;
    std::string User;
    std::string Password;
    std::string AdminDatabase; // the database used to create and drop test databases

    // nullopt, with the names of the missing variables in `missing`, when any is unset.
    static std::optional<TPgServer> FromEnvironment(std::string& missing);
};

using TPgRow = std::vector<std::optional<std::string>>;

class TPgDatabase;

// A connection of the test's own that stays open between statements, e.g. to hold a lock in
// an open transaction while the code under test runs.
class TPgSession {
public:
    explicit TPgSession(const TPgDatabase& database); // throws std::runtime_error
    ~TPgSession();
    TPgSession(const TPgSession&) = delete;
    TPgSession& operator=(const TPgSession&) = delete;

    void Exec(const std::string& sql) const; // throws std::runtime_error

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

class TPgDatabase {
public:
    // Creates the database and loads the schema; throws std::runtime_error on failure.
    explicit TPgDatabase(TPgServer server);
    ~TPgDatabase();
    TPgDatabase(const TPgDatabase&) = delete;
    TPgDatabase& operator=(const TPgDatabase&) = delete;

    const std::string& Name() const { return FName; }
    const TPgServer& Server() const { return FServer; }
    // Runs UTF-8 SQL (several statements allowed) on the test database; throws on error.
    void Exec(const std::string& sql) const;
    // All rows of a query; a null value is nullopt.
    std::vector<TPgRow> Query(const std::string& sql) const;
    // First value of the first row; nullopt for no row or a null value.
    std::optional<std::string> Scalar(const std::string& sql) const;
    // Ends every other session on the test database, as a server restart would.
    void TerminateSessions() const;
    // Database settings of the service pointing at this database (texts cp1251 = ASCII here).
    void ApplyTo(TConfig& config) const;
    // The [Database] section of an INI file for this database.
    std::string IniSection() const;

private:
    TPgServer FServer;
    std::string FName;
};

// Base of tests that need the server: a fresh database in FDb for every test.
class TPgTest : public ::testing::Test {
protected:
    void SetUp() override;

    std::unique_ptr<TPgDatabase> FDb;
};

} // namespace qvx::test
