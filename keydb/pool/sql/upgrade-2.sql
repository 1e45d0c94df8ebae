-- From version 2 to version 3, in the transaction of `kdbtool pool upgrade`, before
-- functions.sql (after upgrade-1.sql for a version-1 schema): each pool gets its own event chain
-- and chain lock. The events made so far keep their ids and hashes (one chain over every pool,
-- ids 1, 2, 3, ...); chain_start records where the chains per pool begin, each chained to the
-- last of those events. Every function and procedure (with the triggers that call them) is
-- dropped for functions.sql to make again. No key, event or binding is touched.
DO $$
BEGIN
    IF NOT (SELECT rolsuper FROM pg_roles WHERE rolname = current_user) THEN
        RAISE EXCEPTION 'upgrade needs a database superuser';
    END IF;
END
$$;
-- No station draws or ends a key while the schema changes.
LOCK TABLE keypool.chain_lock, keypool.bindings, keypool.keys, keypool.events IN EXCLUSIVE MODE;
SET LOCAL ROLE keypool_owner;
CREATE INDEX events_pool ON keypool.events (pool_id, id);
CREATE SEQUENCE keypool.event_ids;
SELECT setval('keypool.event_ids', max(e.id)) FROM keypool.events e HAVING max(e.id) IS NOT NULL;
CREATE TABLE keypool.chain_start (first_id bigint NOT NULL CHECK (first_id > 0));
INSERT INTO keypool.chain_start SELECT coalesce(max(e.id), 0) + 1 FROM keypool.events e;
CREATE TABLE keypool.chain_locks (pool_id integer PRIMARY KEY REFERENCES keypool.pools (id));
INSERT INTO keypool.chain_locks SELECT p.id FROM keypool.pools p;
DROP TABLE keypool.chain_lock;
UPDATE keypool.schema_version SET version = 3;
RESET ROLE;
DO $$
DECLARE
    v_routine regprocedure;
BEGIN
    FOR v_routine IN SELECT p.oid::regprocedure FROM pg_proc p
                     WHERE p.pronamespace = 'keypool'::regnamespace LOOP
        EXECUTE format('DROP ROUTINE %s CASCADE', v_routine);
    END LOOP;
END
$$;
