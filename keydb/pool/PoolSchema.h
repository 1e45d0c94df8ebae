// The key pool's SQL, kept in keydb/pool/sql/*.sql (read there by psql and reviewers as SQL) and
// embedded here when the project is built. docs/key-pool.md explains it.
#pragma once

// The schema version these files make (keypool.schema_version).
constexpr int kPoolSchemaVersion = 3;
// Roles, schema and tables: `kdbtool pool init` runs it, then kPoolFunctionsSql, in one
// transaction as a database superuser.
extern const char* const kPoolTablesSql;
// Functions, procedures, triggers and grants (they hold no data): init, and upgrade after it has
// dropped the older ones.
extern const char* const kPoolFunctionsSql;
// What `kdbtool pool upgrade` runs on a version-1 schema before kPoolUpgradeFrom2Sql, and on a
// version-2 schema before kPoolFunctionsSql.
extern const char* const kPoolUpgradeFrom1Sql;
extern const char* const kPoolUpgradeFrom2Sql;
