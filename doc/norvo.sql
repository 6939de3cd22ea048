-- Database, table and account for norvo's MySQL back-end.
--
-- Run once as a database administrator, for example
--     mariadb -u root -p < norvo.sql
-- then name the same host, database, table, login and password on the
-- category's line of norvo.conf:
--     dump MySQL 127.0.0.1 norvo traffic norvo change-this-password
--
-- Change the password below before running this file. norvo passes the
-- host to the client library as given: "localhost" connects through the
-- client library's default local socket, an address such as 127.0.0.1 over TCP
-- to port 3306.

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

-- The daemon needs nothing beyond reading, adding and updating rows.
-- Replace '%' by the daemon's address to accept it from that host only.
CREATE USER IF NOT EXISTS 'norvo'@'%' IDENTIFIED BY 'change-this-password';
GRANT SELECT, INSERT, UPDATE ON norvo.traffic TO 'norvo'@'%';
GRANT SELECT, INSERT, UPDATE ON norvo.traffic6 TO 'norvo'@'%';
