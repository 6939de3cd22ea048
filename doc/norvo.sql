-- Database, table and account for norvo's MySQL back-end.
--
-- Run once as a database administrator, for example
--     mariadb -u root -p < norvo.sql
-- then name the same host, database, table, login and password on the
-- category's line of norvo.conf:
--     dump MySQL 127.0.0.1 norvo traffic norvo change-this-password
--
-- Change the password below before running this file. The host is a name
-- or address, reached over TCP on port 3306, or HOST:PORT for another port;
-- "localhost" connects through the client library's default local socket,
-- and a path starting with "/" through that socket.

CREATE DATABASE IF NOT EXISTS norvo;

-- One row per address and time tag. Every dump with the same time tag
-- (with a time divider of 3600: within the same hour) adds its counts to
-- the row; the first dump of a time tag inserts it.
--   ip       the address in dotted-decimal form without leading zeros
--   timetag  seconds since the epoch divided by the category's time divider
--   input    bytes received, divided by the category's byte divider
--   output   bytes sent, likewise
-- The primary key lets concurrent dumps of the same category (or several
-- daemons sharing a table) add to one row instead of creating duplicates,
-- and makes the daemon's update find its row without a table scan.
CREATE TABLE IF NOT EXISTS norvo.traffic (
    ip      VARCHAR(15)     NOT NULL,
    timetag BIGINT          NOT NULL,
    input   BIGINT UNSIGNED NOT NULL DEFAULT 0,
    output  BIGINT UNSIGNED NOT NULL DEFAULT 0,
    PRIMARY KEY (ip, timetag)
);

-- The IPv6 rows of the same categories go to the table named with "6"
-- appended, keyed the same way:
--   ip       the address, 16 bytes in network order (HEX(ip) shows it;
--            INET6_NTOA(ip) prints it, MariaDB 10.5 and later)
CREATE TABLE IF NOT EXISTS norvo.traffic6 (
    ip      VARBINARY(16)   NOT NULL,
    timetag BIGINT          NOT NULL,
    input   BIGINT UNSIGNED NOT NULL DEFAULT 0,
    output  BIGINT UNSIGNED NOT NULL DEFAULT 0,
    PRIMARY KEY (ip, timetag)
);

-- Every dump is stored in one transaction together with an id of its own
-- (machine, category, time tag, 64 random bits) in this table. A dump that
-- failed is kept in the daemon's spool and sent again later; when its id is
-- found here, its commit had reached the server although the daemon never
-- heard so, and it is not stored again. Several daemons may share both
-- tables: ids never collide. The daemon removes ids older than 30 days
-- (a dump must be replayed within that time to be recognised). It creates
-- the table itself when its account may; otherwise it logs these lines.
CREATE TABLE IF NOT EXISTS norvo.norvo_batches (
    id        VARCHAR(128) NOT NULL PRIMARY KEY,
    stored_at TIMESTAMP    NOT NULL DEFAULT CURRENT_TIMESTAMP,
    KEY (stored_at)
);

-- The daemon needs nothing beyond reading, adding and updating rows, and
-- recording and expiring batch ids.
-- Replace '%' by the daemon's address to accept it from that host only.
CREATE USER IF NOT EXISTS 'norvo'@'%' IDENTIFIED BY 'change-this-password';
GRANT SELECT, INSERT, UPDATE ON norvo.traffic TO 'norvo'@'%';
GRANT SELECT, INSERT, UPDATE ON norvo.traffic6 TO 'norvo'@'%';
GRANT SELECT, INSERT, DELETE ON norvo.norvo_batches TO 'norvo'@'%';
