#include "keydb/pool/PoolSchema.h"

// Everything lives in the schema keypool, owned by the role keypool_owner (NOLOGIN). Stations log
// in with roles of their own that are members of keypool_station; that group may call the
// functions below and nothing else. The functions run as the owner (SECURITY DEFINER) with a
// fixed search path, and act only on keys the calling station (session_user) holds.
const char* const kPoolSchemaSql = R"SQL(
DO $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'keypool_owner') THEN
        CREATE ROLE keypool_owner NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'keypool_station') THEN
        CREATE ROLE keypool_station NOLOGIN;
    END IF;
END
$$;
GRANT keypool_owner TO CURRENT_USER;
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
    area_sha256 text NOT NULL UNIQUE CHECK (area_sha256 ~ '^[0-9a-f]{64}$')
);

CREATE TABLE keypool.keys (
    pool_id       integer NOT NULL REFERENCES keypool.pools (id),
    idx           integer NOT NULL CHECK (idx >= 0),
    key_bytes     bytea NOT NULL,
    state         text NOT NULL DEFAULT 'free'
                  CHECK (state IN ('free', 'taken', 'reserved', 'delivered', 'spent')),
    station       text,
    slot          integer,
    port_location text,
    serial        text,
    destination   text,
    step          text,
    code          integer,
    taken_at      timestamptz,
    reserved_at   timestamptz,
    ended_at      timestamptz,
    PRIMARY KEY (pool_id, idx)
);
CREATE INDEX keys_free ON keypool.keys (pool_id, idx) WHERE state = 'free';
-- The re-provisioning guards look keys up by the SHA-256 of their bytes and by serial number.
CREATE INDEX keys_digest ON keypool.keys (pool_id, sha256(key_bytes));
CREATE INDEX keys_serial ON keypool.keys (pool_id, serial) WHERE state = 'delivered';

-- Append-only: one row per change of a key's state, never key bytes.
CREATE TABLE keypool.events (
    id            bigserial PRIMARY KEY,
    at            timestamptz NOT NULL DEFAULT clock_timestamp(),
    pool_id       integer NOT NULL,
    idx           integer NOT NULL,
    event         text NOT NULL
                  CHECK (event IN ('imported', 'taken', 'reserved', 'delivered', 'spent', 'returned')),
    station       text NOT NULL,
    slot          integer,
    port_location text,
    serial        text,
    destination   text,
    step          text,
    code          integer
);
CREATE FUNCTION keypool.refuse_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION 'keypool.events is append-only';
END
$$;
CREATE TRIGGER events_append_only BEFORE UPDATE OR DELETE ON keypool.events
    FOR EACH ROW EXECUTE FUNCTION keypool.refuse_change();
CREATE TRIGGER events_no_truncate BEFORE TRUNCATE ON keypool.events
    FOR EACH STATEMENT EXECUTE FUNCTION keypool.refuse_change();

-- Hands the lowest free key of the pool to the calling station (taken). Runs as one statement in
-- its own transaction: the client sees the key only after the commit.
CREATE FUNCTION keypool.take_key(p_pool text, p_slot integer, p_port text)
RETURNS TABLE (idx integer, key_bytes bytea)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
    v_idx integer;
BEGIN
    SELECT p.id INTO v_pool FROM keypool.pools p WHERE p.name = p_pool;
    IF NOT FOUND THEN
        RETURN;
    END IF;
    SELECT k.idx INTO v_idx FROM keypool.keys k
        WHERE k.pool_id = v_pool AND k.state = 'free'
        ORDER BY k.idx LIMIT 1 FOR UPDATE SKIP LOCKED;
    IF NOT FOUND THEN
        RETURN;
    END IF;
    UPDATE keypool.keys k SET state = 'taken', station = session_user, slot = p_slot,
           port_location = left(p_port, 256), serial = NULL, destination = NULL, step = NULL,
           code = NULL, taken_at = now(), reserved_at = NULL, ended_at = NULL
        WHERE k.pool_id = v_pool AND k.idx = v_idx;
    INSERT INTO keypool.events (pool_id, idx, event, station, slot, port_location)
        VALUES (v_pool, v_idx, 'taken', session_user, p_slot, left(p_port, 256));
    RETURN QUERY SELECT k.idx, k.key_bytes FROM keypool.keys k
        WHERE k.pool_id = v_pool AND k.idx = v_idx;
END
$$;

-- Moves a key of the calling station from one state to the next; false when the key is not the
-- station's or not in the state the step starts from.
CREATE FUNCTION keypool.step_key(p_pool text, p_idx integer, p_from text, p_to text,
                                 p_serial text, p_destination text, p_step text, p_code integer)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
    v_row keypool.keys%ROWTYPE;
BEGIN
    IF NOT ((p_from = 'taken' AND p_to IN ('reserved', 'free'))
            OR (p_from = 'reserved' AND p_to IN ('delivered', 'spent'))) THEN
        RETURN false;
    END IF;
    SELECT p.id INTO v_pool FROM keypool.pools p WHERE p.name = p_pool;
    IF NOT FOUND THEN
        RETURN false;
    END IF;
    UPDATE keypool.keys k SET
           state = p_to,
           station = CASE WHEN p_to = 'free' THEN NULL ELSE k.station END,
           serial = CASE WHEN p_to = 'reserved' THEN left(p_serial, 128) ELSE k.serial END,
           destination = CASE WHEN p_to = 'reserved' THEN left(p_destination, 16)
                              ELSE k.destination END,
           step = CASE WHEN p_to = 'spent' THEN left(p_step, 64) ELSE k.step END,
           code = CASE WHEN p_to = 'spent' THEN p_code ELSE k.code END,
           reserved_at = CASE WHEN p_to = 'reserved' THEN now() ELSE k.reserved_at END,
           ended_at = CASE WHEN p_to IN ('delivered', 'spent') THEN now() ELSE k.ended_at END
        WHERE k.pool_id = v_pool AND k.idx = p_idx AND k.state = p_from
          AND k.station = session_user
        RETURNING * INTO v_row;
    IF NOT FOUND THEN
        RETURN false;
    END IF;
    INSERT INTO keypool.events (pool_id, idx, event, station, slot, port_location, serial,
                                destination, step, code)
        VALUES (v_pool, p_idx, CASE WHEN p_to = 'free' THEN 'returned' ELSE p_to END,
                session_user, v_row.slot, v_row.port_location, v_row.serial, v_row.destination,
                CASE WHEN p_to = 'spent' THEN left(p_step, 64) END,
                CASE WHEN p_to = 'spent' THEN p_code END);
    RETURN true;
END
$$;

CREATE FUNCTION keypool.reserve_key(p_pool text, p_idx integer, p_serial text,
                                    p_destination text)
RETURNS boolean LANGUAGE sql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT keypool.step_key(p_pool, p_idx, 'taken', 'reserved', p_serial, p_destination, NULL,
                            NULL);
$$;
CREATE FUNCTION keypool.deliver_key(p_pool text, p_idx integer)
RETURNS boolean LANGUAGE sql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT keypool.step_key(p_pool, p_idx, 'reserved', 'delivered', NULL, NULL, NULL, NULL);
$$;
CREATE FUNCTION keypool.spend_key(p_pool text, p_idx integer, p_step text, p_code integer)
RETURNS boolean LANGUAGE sql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT keypool.step_key(p_pool, p_idx, 'reserved', 'spent', NULL, NULL, p_step, p_code);
$$;
CREATE FUNCTION keypool.return_key(p_pool text, p_idx integer)
RETURNS boolean LANGUAGE sql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT keypool.step_key(p_pool, p_idx, 'taken', 'free', NULL, NULL, NULL, NULL);
$$;

-- What a station may know of a pool: its shape and counts, and how many keys the calling
-- station holds reserved without an end (in doubt after a crash) or taken.
CREATE FUNCTION keypool.pool_info(p_pool text)
RETURNS TABLE (key_size integer, record_info bytea, created text, keys bigint, free bigint,
               mine_reserved bigint, mine_taken bigint)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT p.key_size, p.record_info, p.created, count(k.idx),
           count(k.idx) FILTER (WHERE k.state = 'free'),
           count(k.idx) FILTER (WHERE k.state = 'reserved' AND k.station = session_user),
           count(k.idx) FILTER (WHERE k.state = 'taken' AND k.station = session_user)
        FROM keypool.pools p LEFT JOIN keypool.keys k ON k.pool_id = p.id
        WHERE p.name = p_pool GROUP BY p.id;
$$;

-- The re-provisioning guards: whether the key whose SHA-256 a board's key area gives is one of the
-- pool's keys that is used, and whether a key was delivered to a board with this serial number.
-- Neither tells a station anything of a key it does not hold already.
CREATE FUNCTION keypool.key_used(p_pool text, p_digest bytea)
RETURNS boolean LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT EXISTS (SELECT 1 FROM keypool.keys k JOIN keypool.pools p ON p.id = k.pool_id
                   WHERE p.name = p_pool AND sha256(k.key_bytes) = p_digest
                     AND k.state IN ('reserved', 'delivered', 'spent'));
$$;
CREATE FUNCTION keypool.serial_delivered(p_pool text, p_serial text)
RETURNS boolean LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT EXISTS (SELECT 1 FROM keypool.keys k JOIN keypool.pools p ON p.id = k.pool_id
                   WHERE p.name = p_pool AND k.serial = left(p_serial, 128)
                     AND k.state = 'delivered');
$$;

REVOKE ALL ON ALL FUNCTIONS IN SCHEMA keypool FROM PUBLIC;
GRANT USAGE ON SCHEMA keypool TO keypool_station;
GRANT EXECUTE ON FUNCTION keypool.take_key(text, integer, text),
                          keypool.reserve_key(text, integer, text, text),
                          keypool.deliver_key(text, integer),
                          keypool.spend_key(text, integer, text, integer),
                          keypool.return_key(text, integer),
                          keypool.pool_info(text),
                          keypool.key_used(text, bytea),
                          keypool.serial_delivered(text, text) TO keypool_station;
RESET ROLE;
)SQL";
