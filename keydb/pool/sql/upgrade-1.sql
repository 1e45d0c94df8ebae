-- From the first release's schema (version 1) to version 2, in the transaction of `kdbtool pool
-- upgrade`, before upgrade-2.sql: the events get an administrator's reason (a column that is
-- NULL for every older event, which keeps their text and so their hashes), the owner may read the
-- synchronous standbys' flush positions, the version is recorded, and every function (with the
-- triggers that call them) is dropped for functions.sql to make again. No key, event or binding
-- is touched.
DO $$
BEGIN
    IF NOT (SELECT rolsuper FROM pg_roles WHERE rolname = current_user) THEN
        RAISE EXCEPTION 'upgrade needs a database superuser';
    END IF;
END
$$;
-- No station draws or ends a key while the schema changes.
LOCK TABLE keypool.chain_lock, keypool.bindings, keypool.keys, keypool.events IN EXCLUSIVE MODE;
GRANT pg_read_all_stats TO keypool_owner;
ALTER TABLE keypool.events ADD COLUMN reason text CHECK (length(reason) <= 256);
SET LOCAL ROLE keypool_owner;
CREATE TABLE keypool.schema_version (version integer NOT NULL CHECK (version > 0));
INSERT INTO keypool.schema_version VALUES (2);
CREATE SEQUENCE keypool.flush_mark;
RESET ROLE;
DO $$
DECLARE
    v_function regprocedure;
BEGIN
    FOR v_function IN SELECT p.oid::regprocedure FROM pg_proc p
                      WHERE p.pronamespace = 'keypool'::regnamespace LOOP
        EXECUTE format('DROP FUNCTION %s CASCADE', v_function);
    END LOOP;
END
$$;
