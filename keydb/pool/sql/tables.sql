-- The key pool's roles, schema and tables (version 3), as `kdbtool pool init` creates them in one
-- transaction with functions.sql after them; docs/key-pool.md explains them. kdbtool carries this
-- file and functions.sql (embedded when it is built) and its audit compares the server with them.
--
-- Everything lives in the schema keypool, owned by the role keypool_owner: NOLOGIN, and nobody is
-- made a member of it, so that no login can act as the owner (only a superuser can). Three groups
-- hold what people and machines may do:
--   keypool_admin    creates pools, imports, exports, binds stations: through owner functions;
--                    reads the status and the events (never a key's bytes, wrapped or not)
--   keypool_auditor  reads the status and the events
--   keypool_station  draws, ends and returns keys through the station functions below
-- The functions run as the owner (SECURITY DEFINER) with a fixed search path and act only on keys
-- the calling station (session_user) holds; a station reaches those that write through
-- procedures that commit before they return (functions.sql). Key bytes are stored wrapped (AES-256-GCM under a
-- pool wrap key the database never holds) and leave the server only for a key whose reservation
-- by the asking station is committed: claiming a key and reading its bytes are two transactions.
DO $$
DECLARE
    v_role text;
    v_member text;
BEGIN
    IF NOT (SELECT rolsuper FROM pg_roles WHERE rolname = current_user) THEN
        RAISE EXCEPTION 'init needs a database superuser (it creates the NOLOGIN owner role)';
    END IF;
    FOREACH v_role IN ARRAY ARRAY['keypool_owner', 'keypool_admin', 'keypool_auditor',
                                  'keypool_station'] LOOP
        IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = v_role) THEN
            EXECUTE format('CREATE ROLE %I NOLOGIN', v_role);
        END IF;
    END LOOP;
    ALTER ROLE keypool_owner NOLOGIN;
    -- The owner's functions read the synchronous standbys' flush positions (pg_stat_replication).
    GRANT pg_read_all_stats TO keypool_owner;
    -- Nobody acts as the owner: a membership left by an earlier set-up is taken away.
    FOR v_member IN SELECT m.rolname FROM pg_auth_members a JOIN pg_roles m ON m.oid = a.member
                    WHERE a.roleid = 'keypool_owner'::regrole LOOP
        EXECUTE format('REVOKE keypool_owner FROM %I', v_member);
    END LOOP;
END
$$;
CREATE SCHEMA keypool AUTHORIZATION keypool_owner;
REVOKE ALL ON SCHEMA keypool FROM PUBLIC;
SET LOCAL ROLE keypool_owner;

CREATE TABLE keypool.pools (
    id          serial PRIMARY KEY,
    name        text NOT NULL UNIQUE CHECK (name ~ '^[A-Za-z0-9_.-]{1,64}$'),
    key_size    integer NOT NULL CHECK (key_size BETWEEN 1 AND 65536),
    key_count   integer NOT NULL CHECK (key_count BETWEEN 1 AND 100000000),
    record_info bytea NOT NULL CHECK (length(record_info) = 16),
    created     text NOT NULL CHECK (length(created) <= 32),
    imported_at timestamptz NOT NULL DEFAULT now(),
    area_sha256 text NOT NULL UNIQUE CHECK (area_sha256 ~ '^[0-9a-f]{64}$'),
    -- SHA-256 of a fixed prefix and the wrap key: tells a station whether its wrap key is the
    -- pool's, and nothing of the key.
    wrap_check  bytea NOT NULL CHECK (length(wrap_check) = 32)
);

-- A station draws only from the pools it is bound to, and holds at most max_open keys taken or
-- reserved without an end there.
CREATE TABLE keypool.bindings (
    pool_id  integer NOT NULL REFERENCES keypool.pools (id),
    station  text NOT NULL,
    max_open integer NOT NULL DEFAULT 32 CHECK (max_open BETWEEN 1 AND 4096),
    PRIMARY KEY (pool_id, station)
);

CREATE TABLE keypool.keys (
    pool_id       integer NOT NULL REFERENCES keypool.pools (id),
    idx           integer NOT NULL CHECK (idx >= 0),
    -- 12-byte nonce, the encrypted key, 16-byte tag; associated data: pool id and index.
    wrapped       bytea NOT NULL,
    -- SHA-256 of the key's bytes: one key, one board, across every pool of the database.
    digest        bytea NOT NULL CHECK (length(digest) = 32),
    state         text NOT NULL DEFAULT 'free'
                  CHECK (state IN ('free', 'taken', 'reserved', 'delivered', 'spent', 'exported')),
    station       text,
    slot          integer,
    port_location text,
    serial        text,
    destination   text,
    step          text,
    code          integer,
    taken_at      timestamptz,
    reserved_at   timestamptz,
    fetched_at    timestamptz,
    ended_at      timestamptz,
    exported_at   timestamptz,
    PRIMARY KEY (pool_id, idx)
);
CREATE UNIQUE INDEX keys_digest ON keypool.keys (digest);
CREATE INDEX keys_free ON keypool.keys (pool_id, idx) WHERE state = 'free';
CREATE INDEX keys_open ON keypool.keys (pool_id, station) WHERE state IN ('taken', 'reserved');
CREATE INDEX keys_serial ON keypool.keys (pool_id, serial, station)
    WHERE state IN ('reserved', 'delivered', 'spent');

-- Append-only, one row per change of a key's state (never key bytes), chained per pool: each
-- row's hash is the SHA-256 of the hash of the pool's row before it and this row's text (a pool's
-- first row chains to the last row before chain_start, or to nothing). The ids grow (from
-- event_ids) and are unique; rows before chain_start (made by a version-2 schema or older) form
-- one chain over every pool, with ids 1, 2, 3, ... without a gap. The insert trigger keeps
-- both; nobody but the owner may write the table, and the owner's functions only insert.
CREATE TABLE keypool.events (
    id            bigint PRIMARY KEY,
    at            timestamptz NOT NULL DEFAULT clock_timestamp(),
    pool_id       integer NOT NULL,
    idx           integer NOT NULL,  -- -1: an event of the pool or a station, not of one key
    event         text NOT NULL
                  CHECK (event IN ('imported', 'taken', 'reserved', 'fetched', 'delivered',
                                   'spent', 'returned', 'exported', 'refused', 'bound',
                                   'unbound')),
    station       text NOT NULL,
    slot          integer,
    port_location text,
    serial        text,
    destination   text,
    step          text,
    code          integer,
    hash          bytea NOT NULL CHECK (length(hash) = 32),
    reason        text CHECK (length(reason) <= 256)  -- an administrator's resolution
);
CREATE INDEX events_key ON keypool.events (pool_id, idx, id);
CREATE INDEX events_pool ON keypool.events (pool_id, id);
CREATE SEQUENCE keypool.event_ids;
-- The first event chained per pool (1 here; after an upgrade, the first event made by it).
CREATE TABLE keypool.chain_start (first_id bigint NOT NULL CHECK (first_id > 0));
INSERT INTO keypool.chain_start VALUES (1);
-- One row per pool: whoever appends an event of the pool holds it locked until the end of the
-- transaction (the station functions wait for it up to 3.5 s, inside the session's statement
-- time-out); one pool's appends never wait for another's. create_pool adds the row.
CREATE TABLE keypool.chain_locks (pool_id integer PRIMARY KEY REFERENCES keypool.pools (id));

-- The schema's version: kdbtool pool upgrade moves an older schema to this one.
CREATE TABLE keypool.schema_version (version integer NOT NULL CHECK (version > 0));
INSERT INTO keypool.schema_version VALUES (3);
-- Written by flush_now only: a log record whose commit flushes the log.
CREATE SEQUENCE keypool.flush_mark;
RESET ROLE;
