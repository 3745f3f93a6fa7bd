-- The outbox of norv-syslog-send ([DB] source=outbox): producers call
--   SELECT norv_notify('payload');
-- inside their own transaction instead of pg_notify('syslog', 'payload'). The
-- row is relayed once that transaction commits, and deleted by the daemon
-- only once the receiver has acknowledged it, so that nothing raised is lost
-- while the daemon, its connection or the receiver is down.
--
-- The daemon creates both objects itself when its role may; otherwise apply
-- this file (psql -f) in the daemon's database as a role that may, and grant
-- the daemon's role SELECT and DELETE on norv_outbox, and each producer's
-- role INSERT on it. Running it again changes nothing.

-- CACHE 1: no session holds ids it took in advance, so ids are handed out in
-- the order norv_notify asks for them; the daemon relies on it to find rows
-- that commit late.
CREATE TABLE IF NOT EXISTS norv_outbox (
  id bigint GENERATED ALWAYS AS IDENTITY (CACHE 1) PRIMARY KEY,
  payload text NOT NULL,
  raised_at timestamptz NOT NULL DEFAULT now()
);

-- The transaction takes its transaction id before its row takes an id: the
-- daemon waits for every transaction older than a gap in the ids before it
-- stops looking into that gap. The notification goes out at commit; an
-- identical one is sent only once, so a transaction wakes the daemon once.
CREATE OR REPLACE FUNCTION norv_notify(payload text) RETURNS void
LANGUAGE plpgsql AS $$
BEGIN
  PERFORM pg_current_xact_id(), pg_notify('norv_outbox', '');
  INSERT INTO norv_outbox (payload) VALUES (norv_notify.payload);
END
$$;
