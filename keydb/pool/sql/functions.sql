-- The key pool's functions, procedures, triggers and grants (version 3): run after tables.sql by
-- `kdbtool pool init`, and again by `kdbtool pool upgrade` after the routines of the older schema
-- are dropped (they hold no data).
--
-- A station reaches what writes (and so appends to a pool's event chain, whose lock is held to
-- the end of the transaction) only through procedures that commit before they return: CALL
-- keypool.claim_keys(...) and the like. PostgreSQL refuses their COMMIT inside a transaction
-- block (BEGIN, a savepoint, several statements in one query, a DO block), which undoes the
-- call: no station can keep a pool's chain locked past its own call and stall other stations.
-- A procedure that commits cannot be SECURITY DEFINER: each calls one owner's function, which
-- refuses to run unless the statement the server is executing (current_query(), what the
-- client sent) is a CALL of one of these procedures and nothing else (station_gate).
--
-- Station logins also get an idle-in-transaction bound (a second line: a session may change
-- it; the procedures are what holds). Run as the superuser, before the owner's role is taken.
DO $$
DECLARE
    v_member text;
BEGIN
    FOR v_member IN SELECT m.rolname FROM pg_auth_members a JOIN pg_roles m ON m.oid = a.member
                    WHERE a.roleid = 'keypool_station'::regrole AND m.rolcanlogin LOOP
        EXECUTE format('ALTER ROLE %I SET idle_in_transaction_session_timeout = %L', v_member,
                       '2s');
    END LOOP;
END
$$;
SET LOCAL ROLE keypool_owner;

-- The text a row's hash covers (the audit computes it the same way).
-- (PL/pgSQL rather than SQL: its plan is kept for the session, where a SQL function that cannot
-- be inlined is planned again at every call, and every event calls it.)
CREATE FUNCTION keypool.event_text(e keypool.events) RETURNS text
LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    RETURN concat_ws(',', e.id, (extract(epoch FROM e.at) * 1000000)::bigint, e.pool_id, e.idx,
                     quote_nullable(e.event), quote_nullable(e.station), quote_nullable(e.slot),
                     quote_nullable(e.port_location), quote_nullable(e.serial),
                     quote_nullable(e.destination), quote_nullable(e.step),
                     quote_nullable(e.code),
                     CASE WHEN e.reason IS NOT NULL THEN quote_literal(e.reason) END);
END
$$;
CREATE FUNCTION keypool.chain_event() RETURNS trigger
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_first bigint;
    v_prev bytea;
BEGIN
    -- Under a snapshot older than the lock, the row before would be missed and the chain fork.
    IF current_setting('transaction_isolation') <> 'read committed' THEN
        RAISE EXCEPTION 'key pool events are written at READ COMMITTED only';
    END IF;
    PERFORM 1 FROM keypool.chain_locks l WHERE l.pool_id = NEW.pool_id FOR UPDATE;
    IF NOT FOUND THEN
        RAISE EXCEPTION 'no event chain for pool %', NEW.pool_id;
    END IF;
    SELECT c.first_id INTO v_first FROM keypool.chain_start c;
    SELECT e.hash INTO v_prev FROM keypool.events e
        WHERE e.pool_id = NEW.pool_id AND e.id >= v_first ORDER BY e.id DESC LIMIT 1;
    IF NOT FOUND THEN
        SELECT e.hash INTO v_prev FROM keypool.events e WHERE e.id < v_first
            ORDER BY e.id DESC LIMIT 1;
    END IF;
    NEW.id := nextval('keypool.event_ids');
    NEW.hash := sha256(coalesce(v_prev, '\x'::bytea) || convert_to(keypool.event_text(NEW), 'UTF8'));
    RETURN NEW;
END
$$;
CREATE TRIGGER events_chain BEFORE INSERT ON keypool.events
    FOR EACH ROW EXECUTE FUNCTION keypool.chain_event();
CREATE FUNCTION keypool.refuse_change() RETURNS trigger
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    RAISE EXCEPTION 'keypool.events is append-only';
END
$$;
CREATE TRIGGER events_append_only BEFORE UPDATE OR DELETE ON keypool.events
    FOR EACH ROW EXECUTE FUNCTION keypool.refuse_change();
CREATE TRIGGER events_no_truncate BEFORE TRUNCATE ON keypool.events
    FOR EACH STATEMENT EXECUTE FUNCTION keypool.refuse_change();

-- The pool the calling station is bound to, or NULL.
CREATE FUNCTION keypool.bound_pool(p_pool text) RETURNS integer
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    RETURN (SELECT p.id FROM keypool.pools p JOIN keypool.bindings b ON b.pool_id = p.id
                WHERE p.name = p_pool AND b.station = session_user);
END
$$;

-- Claims the lowest free keys of the pool for the calling station, one for each job asking (at
-- most 64): taken, or taken and reserved at once (p_reserve). Returns, per job in the order asked,
-- its index and 'ok', or no index and why: 'unbound', 'limit' (the station holds max_open keys
-- without an end: an event records each refusal) or 'empty'. Never returns key bytes: they come
-- from fetch_keys once this transaction has committed. One statement for all the jobs, so the
-- server takes the station's binding once and flushes once. Only station_claim calls it.
CREATE FUNCTION keypool.claim_many(p_pool text, p_slots integer[], p_ports text[],
                                   p_serials text[], p_destinations text[], p_reserve boolean)
RETURNS TABLE (idx integer, status text)
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_n integer := coalesce(cardinality(p_slots), 0);
    v_pool integer;
    v_max integer;
    v_open bigint;
    v_room integer;
    v_got integer[];
    v_claimed integer;
BEGIN
    IF v_n > 64 OR coalesce(cardinality(p_ports), 0) <> v_n
       OR coalesce(cardinality(p_serials), 0) <> v_n
       OR coalesce(cardinality(p_destinations), 0) <> v_n THEN
        RAISE EXCEPTION 'at most 64 jobs in one call, each with slot, port, serial and destination';
    END IF;
    -- The reservation must be on disk before its bytes may leave: a session that turned the
    -- flush off gets it back for this transaction.
    IF current_setting('synchronous_commit') IN ('off', 'local') THEN
        PERFORM set_config('synchronous_commit', 'on', true);
    END IF;
    SELECT p.id, b.max_open INTO v_pool, v_max
        FROM keypool.pools p JOIN keypool.bindings b ON b.pool_id = p.id
        WHERE p.name = p_pool AND b.station = session_user
        FOR UPDATE OF b;
    IF NOT FOUND THEN
        RETURN QUERY SELECT NULL::integer, 'unbound'::text FROM generate_series(1, v_n);
        RETURN;
    END IF;
    SELECT count(*) INTO v_open FROM keypool.keys k
        WHERE k.pool_id = v_pool AND k.station = session_user
          AND k.state IN ('taken', 'reserved');
    -- Jobs past the room the limit leaves are refused.
    v_room := greatest(0, least(v_n::bigint, v_max - v_open))::integer;
    SELECT array_agg(f.idx ORDER BY f.idx) INTO v_got
        FROM (SELECT k.idx FROM keypool.keys k
                  WHERE k.pool_id = v_pool AND k.state = 'free'
                  ORDER BY k.idx LIMIT v_room FOR UPDATE SKIP LOCKED) f;
    -- The rows are locked: each is found again by its primary key alone (no estimate of the
    -- pool's size, often stale just after an import, can turn this into a scan of the pool).
    UPDATE keypool.keys k SET
           state = CASE WHEN p_reserve THEN 'reserved' ELSE 'taken' END,
           station = session_user, slot = p_slots[array_position(v_got, k.idx)],
           port_location = left(p_ports[array_position(v_got, k.idx)], 256),
           serial = CASE WHEN p_reserve THEN left(p_serials[array_position(v_got, k.idx)], 128) END,
           destination = CASE WHEN p_reserve
                              THEN left(p_destinations[array_position(v_got, k.idx)], 16) END,
           step = NULL, code = NULL, taken_at = now(),
           reserved_at = CASE WHEN p_reserve THEN now() END, fetched_at = NULL,
           ended_at = NULL
        WHERE k.pool_id = v_pool AND k.idx = ANY (v_got);
    v_claimed := coalesce(cardinality(v_got), 0);
    INSERT INTO keypool.events (pool_id, idx, event, station, slot, port_location, serial,
                                destination, step, code)
        SELECT v_pool, CASE WHEN i <= v_claimed THEN v_got[i] ELSE -1 END,
               CASE WHEN i > v_claimed THEN 'refused'
                    WHEN p_reserve THEN 'reserved' ELSE 'taken' END,
               session_user, p_slots[i], left(p_ports[i], 256),
               CASE WHEN i <= v_claimed AND p_reserve THEN left(p_serials[i], 128) END,
               CASE WHEN i <= v_claimed AND p_reserve THEN left(p_destinations[i], 16) END,
               CASE WHEN i > v_claimed THEN 'limit' END,
               CASE WHEN i > v_claimed THEN v_max END
            FROM generate_series(1, v_n) i
            WHERE i <= v_claimed OR i > v_room
            ORDER BY i;
    RETURN QUERY
        SELECT CASE WHEN i <= v_claimed THEN v_got[i] END,
               CASE WHEN i <= v_claimed THEN 'ok' WHEN i > v_room THEN 'limit' ELSE 'empty' END
            FROM generate_series(1, v_n) i ORDER BY i;
END
$$;
-- Refuses unless the statement the server is executing is a CALL of one of the station's
-- procedures below, with nothing but parameters and constants for arguments (current_query() is
-- what the client sent: nothing run inside it can change it). Those procedures commit before
-- they return, or, inside a transaction block, fail and undo the call; and no argument runs
-- anything before the procedure does. So a pool's chain lock taken under this check is released
-- by the time the station has its answer. (No backslash: however the session reads strings.)
-- Also bounds the session's idle time in a transaction.
CREATE FUNCTION keypool.station_gate() RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_query text := coalesce(current_query(), '');
    v_constant text := '(?:[$][0-9]+|-?[0-9]+|''(?:[^'']|'''')*''|null|true|false)';
    v_list text := '(?:' || v_constant || '(?:[[:space:]]*,[[:space:]]*' || v_constant || ')*)?';
    v_argument text := '(?:' || v_constant || '|array[[][[:space:]]*' || v_list
                       || '[[:space:]]*[]])';
BEGIN
    IF strpos(v_query, chr(92)) > 0
       OR v_query !~* ('^[[:space:]]*call[[:space:]]+keypool[.](claim_keys?|fetch_keys?|'
                       'reserve_key|deliver_keys?|spend_key|return_key|return_unfetched)'
                       '[[:space:]]*[(][[:space:]]*(?:' || v_argument || '(?:[[:space:]]*,'
                       '[[:space:]]*' || v_argument || ')*)?[[:space:]]*[)][[:space:]]*;?'
                       '[[:space:]]*$') THEN
        RAISE EXCEPTION 'a station writes to the key pool only by CALL keypool.<procedure>(...) with parameters or constants, a statement of its own';
    END IF;
    PERFORM set_config('idle_in_transaction_session_timeout', '2s', false);
END
$$;
-- The station's claim: per job in the order asked, the index (NULL for none) and the status.
CREATE FUNCTION keypool.station_claim(p_pool text, p_slots integer[], p_ports text[],
                                      p_serials text[], p_destinations text[], p_reserve boolean)
RETURNS TABLE (idx integer[], status text[])
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp
    SET lock_timeout = '3500ms' AS $$
BEGIN
    PERFORM keypool.station_gate();
    RETURN QUERY
        SELECT coalesce(array_agg(c.idx ORDER BY c.n), '{}'),
               coalesce(array_agg(c.status ORDER BY c.n), '{}')
            FROM keypool.claim_many(p_pool, p_slots, p_ports, p_serials, p_destinations,
                                    p_reserve) WITH ORDINALITY AS c(idx, status, n);
END
$$;
-- What a station calls for its jobs: a key claimed and reserved for each, committed (and
-- flushed) when the call returns; the bytes come from fetch_keys afterwards. Jobs that ask at
-- the same moment share the call. claim_key claims one, taken or reserved.
CREATE PROCEDURE keypool.claim_keys(p_pool text, p_slots integer[], p_ports text[],
                                    p_serials text[], p_destinations text[],
                                    INOUT idx integer[] DEFAULT NULL,
                                    INOUT status text[] DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    SELECT c.idx, c.status INTO idx, status
        FROM keypool.station_claim(p_pool, p_slots, p_ports, p_serials, p_destinations, true) c;
    COMMIT;
END
$$;
CREATE PROCEDURE keypool.claim_key(p_pool text, p_slot integer, p_port text, p_serial text,
                                   p_destination text, p_reserve boolean,
                                   INOUT idx integer DEFAULT NULL, INOUT status text DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    SELECT c.idx[1], c.status[1] INTO idx, status
        FROM keypool.station_claim(p_pool, ARRAY[p_slot], ARRAY[p_port], ARRAY[p_serial],
                                   ARRAY[p_destination], p_reserve) c;
    COMMIT;
END
$$;

-- Whether the write-ahead log up to p_target is flushed on this server and on as many
-- synchronous standbys as synchronous_standby_names asks for (a server setting no session can
-- change), waiting up to 100 ms for a flush under way. What a session set for its commits
-- (synchronous_commit by SET LOCAL, ALTER ROLE, PGOPTIONS) changes nothing here: the flush
-- positions are read. Records that no commit waits for (a snapshot of running transactions, a
-- page pruned by a read) may stay unflushed until the next commit: a station that is refused
-- makes one (flush_now) and asks again.
CREATE FUNCTION keypool.wait_durable(p_target pg_lsn) RETURNS boolean
LANGUAGE plpgsql VOLATILE SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_names text := current_setting('synchronous_standby_names');
    v_need integer := 0;
    v_end timestamptz := clock_timestamp() + interval '100 ms';
BEGIN
    IF v_names !~ '^\s*$' THEN
        v_need := coalesce((regexp_match(v_names, '^\s*(?:(?:first|any)\s+)?([0-9]+)\s*\(',
                                         'i'))[1]::integer, 1);
    END IF;
    LOOP
        IF pg_current_wal_flush_lsn() >= p_target
           AND (v_need = 0 OR (SELECT count(*) FROM pg_stat_replication r
                               WHERE r.sync_state IN ('sync', 'quorum')
                                 AND r.flush_lsn >= p_target) >= v_need) THEN
            RETURN true;
        END IF;
        IF clock_timestamp() >= v_end THEN
            RETURN false;
        END IF;
        PERFORM pg_sleep(0.001);
    END LOOP;
END
$$;

-- A statement whose commit is flushed here and on the synchronous standbys, and with it all the
-- log before it (setval writes a log record and takes a transaction id; no row is locked):
-- what a station runs when fetch_keys said its reservation is not yet durable.
CREATE FUNCTION keypool.flush_now() RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    PERFORM set_config('synchronous_commit', 'on', true);
    PERFORM setval('keypool.flush_mark', 1);
    RETURN true;
END
$$;

-- The wrapped bytes and stored digests of keys the calling station has reserved (at most 64, in
-- the order asked; NULL for one that is not), only in a transaction that has written nothing yet
-- and only once the write-ahead log is durable (wait_durable) up to where it stands now: so the
-- reservation the bytes belong to is committed and on disk here and on the synchronous standbys,
-- and rolling back cannot hide the read. The first fetch of a key is recorded (fetched_at, event
-- 'fetched'), flushed on this server without waiting for the standbys: a reserved key counts as
-- fetched whether or not that record survives a failover. Stations call fetch_keys (fetch_key
-- for one): the record is committed before the bytes are answered.
CREATE FUNCTION keypool.station_fetch(p_pool text, p_idx integer[])
RETURNS TABLE (idx integer[], wrapped bytea[], digest bytea[])
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp
    SET lock_timeout = '3500ms' AS $$
DECLARE
    v_pool integer;
BEGIN
    PERFORM keypool.station_gate();
    IF pg_current_xact_id_if_assigned() IS NOT NULL THEN
        RAISE EXCEPTION 'key bytes are handed out only in a transaction that has written nothing';
    END IF;
    IF coalesce(cardinality(p_idx), 0) > 64 THEN
        RAISE EXCEPTION 'at most 64 keys in one call';
    END IF;
    -- The reservations are committed (visible here): their commit records lie before this point.
    IF NOT keypool.wait_durable(pg_current_wal_insert_lsn()) THEN
        RAISE EXCEPTION 'the reservation is not yet durable on the server and its synchronous standbys: no key bytes leave';
    END IF;
    v_pool := keypool.bound_pool(p_pool);
    -- Flushed here (not waiting for the standbys), so that no fetch leaves log behind it for the
    -- next one to wait for.
    PERFORM set_config('synchronous_commit', 'local', true);
    WITH first AS (
        UPDATE keypool.keys k SET fetched_at = now()
            WHERE k.pool_id = v_pool AND k.idx = ANY (p_idx) AND k.station = session_user
              AND k.state = 'reserved' AND k.fetched_at IS NULL
            RETURNING k.pool_id, k.idx, k.slot, k.port_location)
    INSERT INTO keypool.events (pool_id, idx, event, station, slot, port_location)
        SELECT f.pool_id, f.idx, 'fetched', session_user, f.slot, f.port_location
            FROM first f ORDER BY f.idx;
    RETURN QUERY
        SELECT coalesce(array_agg(u.i ORDER BY u.n), '{}'),
               coalesce(array_agg(k.wrapped ORDER BY u.n), '{}'),
               coalesce(array_agg(k.digest ORDER BY u.n), '{}')
            FROM unnest(p_idx) WITH ORDINALITY AS u(i, n)
            LEFT JOIN keypool.keys k ON k.pool_id = v_pool AND k.idx = u.i
                 AND k.station = session_user AND k.state = 'reserved';
END
$$;
CREATE PROCEDURE keypool.fetch_keys(p_pool text, p_idx integer[], INOUT idx integer[] DEFAULT NULL,
                                    INOUT wrapped bytea[] DEFAULT NULL,
                                    INOUT digest bytea[] DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    SELECT f.idx, f.wrapped, f.digest INTO idx, wrapped, digest
        FROM keypool.station_fetch(p_pool, p_idx) f;
    COMMIT;
END
$$;
CREATE PROCEDURE keypool.fetch_key(p_pool text, p_idx integer, INOUT wrapped bytea DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    SELECT f.wrapped[1] INTO wrapped FROM keypool.station_fetch(p_pool, ARRAY[p_idx]) f;
    COMMIT;
END
$$;

-- Moves keys of the calling station from one state to the next (at most 64 in one statement);
-- per key, in the order asked, false when it is not the station's or not in the state the step
-- starts from (or named twice). Only a taken key (never fetched: fetching needs a reservation)
-- goes back to free. step_key moves one.
CREATE FUNCTION keypool.step_many(p_pool text, p_idx integer[], p_from text, p_to text,
                                  p_serial text, p_destination text, p_step text, p_code integer)
RETURNS TABLE (idx integer, moved boolean)
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
    v_moved integer[] := '{}';
BEGIN
    IF coalesce(cardinality(p_idx), 0) > 64 THEN
        RAISE EXCEPTION 'at most 64 keys in one call';
    END IF;
    v_pool := keypool.bound_pool(p_pool);
    IF ((p_from = 'taken' AND p_to IN ('reserved', 'free'))
            OR (p_from = 'reserved' AND p_to IN ('delivered', 'spent'))) AND v_pool IS NOT NULL THEN
        WITH stepped AS (
            UPDATE keypool.keys k SET
                   state = p_to,
                   station = CASE WHEN p_to = 'free' THEN NULL ELSE k.station END,
                   serial = CASE WHEN p_to = 'reserved' THEN left(p_serial, 128) ELSE k.serial END,
                   destination = CASE WHEN p_to = 'reserved' THEN left(p_destination, 16)
                                      ELSE k.destination END,
                   step = CASE WHEN p_to = 'spent' THEN left(p_step, 64) ELSE k.step END,
                   code = CASE WHEN p_to = 'spent' THEN p_code ELSE k.code END,
                   reserved_at = CASE WHEN p_to = 'reserved' THEN now() ELSE k.reserved_at END,
                   ended_at = CASE WHEN p_to IN ('delivered', 'spent') THEN now()
                                   ELSE k.ended_at END
                WHERE k.pool_id = v_pool AND k.idx = ANY (p_idx) AND k.state = p_from
                  AND k.station = session_user AND (p_to <> 'free' OR k.fetched_at IS NULL)
                RETURNING k.idx, k.slot, k.port_location, k.serial, k.destination
        ), logged AS (
            INSERT INTO keypool.events (pool_id, idx, event, station, slot, port_location, serial,
                                        destination, step, code)
                SELECT v_pool, m.idx, CASE WHEN p_to = 'free' THEN 'returned' ELSE p_to END,
                       session_user, m.slot, m.port_location, m.serial, m.destination,
                       CASE WHEN p_to = 'spent' THEN left(p_step, 64) END,
                       CASE WHEN p_to = 'spent' THEN p_code END
                    FROM stepped m ORDER BY array_position(p_idx, m.idx)
                RETURNING keypool.events.idx
        )
        SELECT coalesce(array_agg(l.idx), '{}') INTO v_moved FROM logged l;
    END IF;
    RETURN QUERY
        SELECT u.i, u.i = ANY (v_moved) AND u.n = array_position(p_idx, u.i)
            FROM unnest(p_idx) WITH ORDINALITY AS u(i, n) ORDER BY u.n;
END
$$;
CREATE FUNCTION keypool.step_key(p_pool text, p_idx integer, p_from text, p_to text,
                                 p_serial text, p_destination text, p_step text, p_code integer)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp
    SET lock_timeout = '3500ms' AS $$
BEGIN
    RETURN (SELECT s.moved FROM keypool.step_many(p_pool, ARRAY[p_idx], p_from, p_to, p_serial,
                                                  p_destination, p_step, p_code) s);
END
$$;

-- A station's step of one of its keys: reserved (from taken), delivered or spent (from
-- reserved), free again (from taken, never fetched). Stations call reserve_key, deliver_key,
-- spend_key and return_key.
CREATE FUNCTION keypool.station_step(p_pool text, p_idx integer, p_to text, p_serial text,
                                     p_destination text, p_step text, p_code integer)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp
    SET lock_timeout = '3500ms' AS $$
BEGIN
    PERFORM keypool.station_gate();
    RETURN (SELECT s.moved FROM keypool.step_many(
                p_pool, ARRAY[p_idx], CASE WHEN p_to IN ('reserved', 'free') THEN 'taken'
                                           ELSE 'reserved' END,
                p_to, p_serial, p_destination, p_step, p_code) s);
END
$$;
CREATE PROCEDURE keypool.reserve_key(p_pool text, p_idx integer, p_serial text,
                                     p_destination text, INOUT reserved boolean DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    reserved := keypool.station_step(p_pool, p_idx, 'reserved', p_serial, p_destination, NULL,
                                     NULL);
    COMMIT;
END
$$;
CREATE PROCEDURE keypool.deliver_key(p_pool text, p_idx integer,
                                     INOUT delivered boolean DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    delivered := keypool.station_step(p_pool, p_idx, 'delivered', NULL, NULL, NULL, NULL);
    COMMIT;
END
$$;
CREATE PROCEDURE keypool.spend_key(p_pool text, p_idx integer, p_step text, p_code integer,
                                   INOUT spent boolean DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    spent := keypool.station_step(p_pool, p_idx, 'spent', NULL, NULL, p_step, p_code);
    COMMIT;
END
$$;
CREATE PROCEDURE keypool.return_key(p_pool text, p_idx integer,
                                    INOUT returned boolean DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    returned := keypool.station_step(p_pool, p_idx, 'free', NULL, NULL, NULL, NULL);
    COMMIT;
END
$$;
-- Several jobs' deliveries in one call (at most 64): whether each is marked delivered, by this
-- call or by an earlier one of the same station (so a delivery whose answer was lost with the
-- connection can be asked again, and is recorded once).
CREATE FUNCTION keypool.station_deliver(p_pool text, p_idx integer[])
RETURNS TABLE (idx integer[], delivered boolean[])
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp
    SET lock_timeout = '3500ms' AS $$
DECLARE
    v_pool integer := keypool.bound_pool(p_pool);
BEGIN
    PERFORM keypool.station_gate();
    RETURN QUERY
        SELECT coalesce(array_agg(s.idx ORDER BY s.n), '{}'),
               coalesce(array_agg(s.moved OR EXISTS (
                   SELECT 1 FROM keypool.keys k
                   WHERE k.pool_id = v_pool AND k.idx = s.idx AND k.state = 'delivered'
                     AND k.station = session_user) ORDER BY s.n), '{}')
            FROM keypool.step_many(p_pool, p_idx, 'reserved', 'delivered', NULL, NULL, NULL,
                                   NULL) WITH ORDINALITY AS s(idx, moved, n);
END
$$;
CREATE PROCEDURE keypool.deliver_keys(p_pool text, p_idx integer[],
                                      INOUT idx integer[] DEFAULT NULL,
                                      INOUT delivered boolean[] DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    SELECT d.idx, d.delivered INTO idx, delivered FROM keypool.station_deliver(p_pool, p_idx) d;
    COMMIT;
END
$$;
-- A station that loads the pool gives back every key it claimed and never reserved (no byte of
-- those ever left the server). Returns how many.
CREATE FUNCTION keypool.station_return_unfetched(p_pool text) RETURNS integer
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp
    SET lock_timeout = '3500ms' AS $$
DECLARE
    v_pool integer := keypool.bound_pool(p_pool);
    v_taken integer[];
    v_moved integer;
    v_total integer := 0;
BEGIN
    PERFORM keypool.station_gate();
    LOOP
        SELECT array_agg(t.idx) INTO v_taken
            FROM (SELECT k.idx FROM keypool.keys k
                      WHERE k.pool_id = v_pool AND k.station = session_user
                        AND k.state = 'taken' ORDER BY k.idx LIMIT 64) t;
        SELECT count(*) FILTER (WHERE s.moved) INTO v_moved
            FROM keypool.step_many(p_pool, v_taken, 'taken', 'free', NULL, NULL, NULL, NULL) s;
        v_total := v_total + v_moved;
        EXIT WHEN v_taken IS NULL OR v_moved = 0;
    END LOOP;
    RETURN v_total;
END
$$;
CREATE PROCEDURE keypool.return_unfetched(p_pool text, INOUT returned integer DEFAULT NULL)
LANGUAGE plpgsql AS $$
BEGIN
    returned := keypool.station_return_unfetched(p_pool);
    COMMIT;
END
$$;

-- The digests of the two key areas a board that never had a key holds: all 0x00, all 0xFF.
CREATE FUNCTION keypool.blank_digests(p_key_size integer) RETURNS bytea[]
LANGUAGE sql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
    SELECT ARRAY[sha256(decode(repeat('00', p_key_size), 'hex')),
                 sha256(decode(repeat('ff', p_key_size), 'hex'))];
$$;

-- What a station may know of a pool it is bound to: its shape and counts, how many keys the
-- calling station holds reserved without an end (in doubt after a crash) or taken, and how many
-- keys look like a blank key area (none, unless put there around the owner's functions: a station
-- then asks about every blank area instead of knowing it holds no key).
CREATE FUNCTION keypool.pool_info(p_pool text)
RETURNS TABLE (key_size integer, record_info bytea, created text, keys bigint, free bigint,
               mine_reserved bigint, mine_taken bigint, pool_id integer, wrap_check bytea,
               blank_keys bigint)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT p.key_size, p.record_info, p.created, count(k.idx),
           count(k.idx) FILTER (WHERE k.state = 'free'),
           count(k.idx) FILTER (WHERE k.state = 'reserved' AND k.station = session_user),
           count(k.idx) FILTER (WHERE k.state = 'taken' AND k.station = session_user),
           p.id, p.wrap_check,
           (SELECT count(*) FROM keypool.keys b
                WHERE b.digest = ANY (keypool.blank_digests(p.key_size)) AND b.pool_id = p.id)
        FROM keypool.pools p LEFT JOIN keypool.keys k ON k.pool_id = p.id
        WHERE p.id = keypool.bound_pool(p_pool) GROUP BY p.id;
$$;

-- The re-provisioning guards, per board in the order asked (at most 64): whether the SHA-256 of
-- its key area is one of the pool's keys that may be on a board, or whether this station reserved
-- a key (delivered, spent or still in doubt) for its serial number; an empty serial number or
-- digest leaves that guard out. It tells a station nothing of another station's boards.
-- keys_used, key_used and serial_reserved ask one of the two.
CREATE FUNCTION keypool.boards_served(p_pool text, p_serials text[], p_digests bytea[])
RETURNS TABLE (served boolean)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
BEGIN
    IF coalesce(cardinality(p_digests), 0) > 64
       OR coalesce(cardinality(p_serials), 0) <> coalesce(cardinality(p_digests), 0) THEN
        RAISE EXCEPTION 'at most 64 boards in one call, each with serial number and digest';
    END IF;
    v_pool := keypool.bound_pool(p_pool);
    RETURN QUERY
        SELECT EXISTS (SELECT 1 FROM keypool.keys k
                       WHERE k.pool_id = v_pool AND k.digest = u.digest
                         AND k.state IN ('reserved', 'delivered', 'spent', 'exported'))
               OR (u.serial <> '' AND EXISTS (
                       SELECT 1 FROM keypool.keys k
                       WHERE k.pool_id = v_pool AND k.serial = left(u.serial, 128)
                         AND k.station = session_user
                         AND k.state IN ('reserved', 'delivered', 'spent')))
            FROM unnest(p_serials, p_digests) WITH ORDINALITY AS u(serial, digest, n)
            ORDER BY u.n;
END
$$;
CREATE FUNCTION keypool.keys_used(p_pool text, p_digests bytea[])
RETURNS TABLE (used boolean)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT b.served FROM keypool.boards_served(
        p_pool, array_fill(''::text, ARRAY[coalesce(cardinality(p_digests), 0)]), p_digests) b;
$$;
CREATE FUNCTION keypool.key_used(p_pool text, p_digest bytea)
RETURNS boolean LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT b.served FROM keypool.boards_served(p_pool, ARRAY[''::text], ARRAY[p_digest]) b;
$$;
CREATE FUNCTION keypool.serial_reserved(p_pool text, p_serial text)
RETURNS boolean LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT b.served FROM keypool.boards_served(p_pool, ARRAY[p_serial], ARRAY[''::bytea]) b;
$$;

-- The administrator's functions. A pool is made and filled in one transaction of kdbtool.
CREATE FUNCTION keypool.create_pool(p_name text, p_key_size integer, p_key_count integer,
                                    p_record_info bytea, p_created text, p_area_sha256 text,
                                    p_wrap_check bytea)
RETURNS integer LANGUAGE sql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    WITH made AS (
        INSERT INTO keypool.pools (name, key_size, key_count, record_info, created, area_sha256,
                                   wrap_check)
            VALUES (p_name, p_key_size, p_key_count, p_record_info, p_created, p_area_sha256,
                    p_wrap_check)
            RETURNING id)
    INSERT INTO keypool.chain_locks (pool_id) SELECT m.id FROM made m RETURNING pool_id;
$$;
-- The keys p_first, p_first + 1, ... of a pool: their wrapped bytes and digests back to back,
-- and p_used ('0' or '1' per key: used in the key file, imported as spent).
CREATE FUNCTION keypool.add_keys(p_pool_id integer, p_first integer, p_wrapped bytea,
                                 p_digests bytea, p_used text)
RETURNS integer LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_size integer;
    v_count integer;
    v_n integer := length(p_used);
BEGIN
    SELECT p.key_size + 28, p.key_count INTO v_size, v_count FROM keypool.pools p
        WHERE p.id = p_pool_id;
    IF NOT FOUND OR p_first < 0 OR p_first + v_n > v_count OR length(p_wrapped) <> v_n * v_size
       OR length(p_digests) <> v_n * 32 OR p_used !~ '^[01]*$' THEN
        RAISE EXCEPTION 'add_keys: keys that do not fit the pool';
    END IF;
    -- A key area all 0x00 or all 0xFF is what a board without a key holds: such a key could
    -- not be told from no key, and a board holding it would take a second one.
    IF EXISTS (SELECT 1 FROM generate_series(0, v_n - 1) i
               WHERE substring(p_digests FROM i * 32 + 1 FOR 32)
                     = ANY (keypool.blank_digests(v_size - 28))) THEN
        RAISE EXCEPTION 'add_keys: a key of all 0x00 or all 0xFF bytes cannot be told from a board without a key';
    END IF;
    INSERT INTO keypool.keys (pool_id, idx, wrapped, digest, state, station, step, ended_at)
        SELECT p_pool_id, p_first + i, substring(p_wrapped FROM i * v_size + 1 FOR v_size),
               substring(p_digests FROM i * 32 + 1 FOR 32),
               CASE WHEN substr(p_used, i + 1, 1) = '1' THEN 'spent' ELSE 'free' END,
               CASE WHEN substr(p_used, i + 1, 1) = '1' THEN session_user END,
               CASE WHEN substr(p_used, i + 1, 1) = '1' THEN 'import' END,
               CASE WHEN substr(p_used, i + 1, 1) = '1' THEN now() END
            FROM generate_series(0, v_n - 1) i;
    INSERT INTO keypool.events (pool_id, idx, event, station, step)
        SELECT p_pool_id, p_first + i,
               CASE WHEN substr(p_used, i + 1, 1) = '1' THEN 'spent' ELSE 'imported' END,
               session_user,
               CASE WHEN substr(p_used, i + 1, 1) = '1' THEN 'import' END
            FROM generate_series(0, v_n - 1) i;
    RETURN v_n;
END
$$;
-- Which of these digests (32 bytes each, back to back) the database holds already: their
-- position in the list, the pool and the key index.
CREATE FUNCTION keypool.present_digests(p_digests bytea)
RETURNS TABLE (pos integer, pool text, idx integer)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
    SELECT i, p.name, k.idx FROM generate_series(0, length(p_digests) / 32 - 1) i
        JOIN keypool.keys k ON k.digest = substring(p_digests FROM i * 32 + 1 FOR 32)
        JOIN keypool.pools p ON p.id = k.pool_id
        ORDER BY i;
$$;
CREATE FUNCTION keypool.bind_station(p_pool text, p_station text, p_max_open integer)
RETURNS boolean LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
BEGIN
    SELECT p.id INTO v_pool FROM keypool.pools p WHERE p.name = p_pool;
    IF NOT FOUND OR NOT EXISTS (SELECT 1 FROM pg_roles r WHERE r.rolname = p_station)
       OR NOT pg_has_role(p_station, 'keypool_station', 'MEMBER') THEN
        RETURN false;
    END IF;
    INSERT INTO keypool.bindings (pool_id, station, max_open) VALUES (v_pool, p_station, p_max_open)
        ON CONFLICT (pool_id, station) DO UPDATE SET max_open = EXCLUDED.max_open;
    INSERT INTO keypool.events (pool_id, idx, event, station, step, code)
        VALUES (v_pool, -1, 'bound', session_user, left(p_station, 64), p_max_open);
    RETURN true;
END
$$;
CREATE FUNCTION keypool.unbind_station(p_pool text, p_station text)
RETURNS boolean LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
BEGIN
    SELECT p.id INTO v_pool FROM keypool.pools p WHERE p.name = p_pool;
    DELETE FROM keypool.bindings b WHERE b.pool_id = v_pool AND b.station = p_station;
    IF NOT FOUND THEN
        RETURN false;
    END IF;
    INSERT INTO keypool.events (pool_id, idx, event, station, step)
        VALUES (v_pool, -1, 'unbound', session_user, left(p_station, 64));
    RETURN true;
END
$$;
-- An administrator's word on a key in doubt (reserved, the end of its job never recorded):
-- spent, or delivered to the board with this serial number, with the reason, as an event. The
-- station's limit counts it no more.
CREATE FUNCTION keypool.resolve_key(p_pool text, p_idx integer, p_outcome text, p_serial text,
                                    p_reason text)
RETURNS boolean LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
BEGIN
    IF p_outcome IS NULL OR p_outcome NOT IN ('spent', 'delivered')
       OR coalesce(btrim(p_reason), '') = ''
       OR (p_outcome = 'delivered' AND coalesce(btrim(p_serial), '') = '') THEN
        RAISE EXCEPTION 'resolve: spent, or delivered with a serial number, and a reason';
    END IF;
    SELECT p.id INTO v_pool FROM keypool.pools p WHERE p.name = p_pool;
    WITH moved AS (
        UPDATE keypool.keys k SET
               state = p_outcome,
               serial = CASE WHEN p_outcome = 'delivered' THEN left(p_serial, 128) ELSE k.serial END,
               step = CASE WHEN p_outcome = 'spent' THEN 'resolved' ELSE k.step END,
               ended_at = now()
            WHERE k.pool_id = v_pool AND k.idx = p_idx AND k.state = 'reserved'
            RETURNING k.idx, k.slot, k.port_location, k.serial, k.destination)
    INSERT INTO keypool.events (pool_id, idx, event, station, slot, port_location, serial,
                                destination, step, reason)
        SELECT v_pool, m.idx, p_outcome, session_user, m.slot, m.port_location, m.serial,
               m.destination, 'resolved', left(p_reason, 256)
            FROM moved m;
    RETURN FOUND;
END
$$;

-- Export is a transfer: every free key of the pool becomes exported (never handed out again),
-- committed before any byte of them is read. Returns the batch's time, which export_fetch takes.
CREATE FUNCTION keypool.export_mark(p_pool text)
RETURNS timestamptz LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v_pool integer;
    v_at timestamptz := clock_timestamp();
BEGIN
    SELECT p.id INTO v_pool FROM keypool.pools p WHERE p.name = p_pool;
    IF NOT FOUND THEN
        RETURN NULL;
    END IF;
    WITH moved AS (
        UPDATE keypool.keys k SET state = 'exported', station = session_user, exported_at = v_at
            WHERE k.pool_id = v_pool AND k.state = 'free'
            RETURNING k.idx)
    INSERT INTO keypool.events (pool_id, idx, event, station)
        SELECT v_pool, m.idx, 'exported', session_user FROM moved m ORDER BY m.idx;
    RETURN v_at;
END
$$;
CREATE FUNCTION keypool.export_fetch(p_pool text, p_at timestamptz)
RETURNS TABLE (idx integer, wrapped bytea)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    IF pg_current_xact_id_if_assigned() IS NOT NULL THEN
        RAISE EXCEPTION 'key bytes are handed out only in a transaction that has written nothing';
    END IF;
    IF NOT keypool.wait_durable(pg_current_wal_insert_lsn()) THEN
        RAISE EXCEPTION 'the export is not yet durable on the server and its synchronous standbys: no key bytes leave';
    END IF;
    RETURN QUERY SELECT k.idx, k.wrapped FROM keypool.keys k JOIN keypool.pools p
                     ON p.id = k.pool_id
                 WHERE p.name = p_pool AND k.state = 'exported' AND k.exported_at = p_at
                 ORDER BY k.idx;
END
$$;

REVOKE ALL ON ALL FUNCTIONS IN SCHEMA keypool FROM PUBLIC;
REVOKE ALL ON ALL PROCEDURES IN SCHEMA keypool FROM PUBLIC;
GRANT USAGE ON SCHEMA keypool TO keypool_station, keypool_admin, keypool_auditor;
GRANT EXECUTE ON PROCEDURE keypool.claim_key(text, integer, text, text, text, boolean, integer, text),
                           keypool.claim_keys(text, integer[], text[], text[], text[], integer[],
                                              text[]),
                           keypool.fetch_key(text, integer, bytea),
                           keypool.fetch_keys(text, integer[], integer[], bytea[], bytea[]),
                           keypool.reserve_key(text, integer, text, text, boolean),
                           keypool.deliver_key(text, integer, boolean),
                           keypool.deliver_keys(text, integer[], integer[], boolean[]),
                           keypool.spend_key(text, integer, text, integer, boolean),
                           keypool.return_key(text, integer, boolean),
                           keypool.return_unfetched(text, integer) TO keypool_station;
-- What the procedures above call (each refuses outside them), and what only reads.
GRANT EXECUTE ON FUNCTION keypool.station_claim(text, integer[], text[], text[], text[], boolean),
                          keypool.station_fetch(text, integer[]),
                          keypool.station_step(text, integer, text, text, text, text, integer),
                          keypool.station_deliver(text, integer[]),
                          keypool.station_return_unfetched(text),
                          keypool.flush_now(),
                          keypool.pool_info(text),
                          keypool.key_used(text, bytea),
                          keypool.keys_used(text, bytea[]),
                          keypool.boards_served(text, text[], bytea[]),
                          keypool.serial_reserved(text, text) TO keypool_station;
GRANT EXECUTE ON FUNCTION keypool.create_pool(text, integer, integer, bytea, text, text, bytea),
                          keypool.add_keys(integer, integer, bytea, bytea, text),
                          keypool.present_digests(bytea),
                          keypool.bind_station(text, text, integer),
                          keypool.unbind_station(text, text),
                          keypool.export_mark(text),
                          keypool.resolve_key(text, integer, text, text, text),
                          keypool.export_fetch(text, timestamptz),
                          keypool.flush_now() TO keypool_admin;
GRANT EXECUTE ON FUNCTION keypool.event_text(keypool.events) TO keypool_admin, keypool_auditor;
-- Status and audit: everything but the wrapped key bytes.
GRANT SELECT ON keypool.pools, keypool.bindings, keypool.events, keypool.schema_version,
                 keypool.chain_start TO keypool_admin, keypool_auditor;
GRANT SELECT (pool_id, idx, digest, state, station, slot, port_location, serial, destination,
              step, code, taken_at, reserved_at, fetched_at, ended_at, exported_at)
    ON keypool.keys TO keypool_admin, keypool_auditor;
RESET ROLE;
