// The key pool's tables, roles and station functions, as `kdbtool pool init` creates them in one
// transaction. docs/key-pool.md explains them.
#pragma once

extern const char* const kPoolSchemaSql;
