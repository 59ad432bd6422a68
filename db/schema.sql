-- Tables of the rental service. Every column is NOT NULL: a NULL read into
-- a contract string would break the reply.
SET NAMES utf8mb4;

CREATE TABLE IF NOT EXISTS user (
  fName         VARCHAR(64)  NOT NULL,
  lName         VARCHAR(64)  NOT NULL,
  address       VARCHAR(255) NOT NULL,
  -- Sealed (s1:...) under the servers' key, never in the clear.
  creditCardNum VARCHAR(512) NOT NULL,
  phoneNum      VARCHAR(64)  NOT NULL,
  eMail         VARCHAR(255) NOT NULL,
  username      VARCHAR(64)  NOT NULL,
  -- A salted Argon2id hash ($argon2id$...), never the password itself.
  password      VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  PRIMARY KEY (username)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- A session: the keyed hash of its token (never the token), when it was
-- opened and when a request last used it (both by the database's clock).
CREATE TABLE IF NOT EXISTS ticket (
  username VARCHAR(64)  NOT NULL,
  tokenTag CHAR(64)     NOT NULL DEFAULT '',
  openedAt TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),
  seenAt   TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),
  UNIQUE KEY ticket_username (username)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- clientID: a client instance's identity, 42 decimal digits.
CREATE TABLE IF NOT EXISTS client (
  username VARCHAR(64) NOT NULL,
  clientID VARCHAR(64) NOT NULL,
  UNIQUE KEY client_username (username)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- The duplicate-request log; a request is (user, client instance, number,
-- operation). `refusal` holds the answer of a request refused by the rental
-- rules, so that a replica running it later gives the same answer instead
-- of carrying it out; it is empty for a request that was carried out.
-- `callerTag` is the keyed hash of what identified the caller (its ticket,
-- or the credentials of a log-in or registration): an entry answers only
-- that caller. `answer` holds a log-in's ticket, sealed, until its session
-- ends. A request has one row: its unique key makes the replica that
-- inserts second wait for the first one's outcome, then find its answer.
CREATE TABLE IF NOT EXISTS transactions (
  username      VARCHAR(64)   NOT NULL,
  clientID      VARCHAR(64)   NOT NULL,
  transactionID SMALLINT      NOT NULL,
  operation     VARCHAR(32)   NOT NULL DEFAULT '',
  callerTag     CHAR(64)      NOT NULL DEFAULT '',
  answer        VARCHAR(255)  NOT NULL DEFAULT '',
  refusal       VARCHAR(1024) NOT NULL DEFAULT '',
  loggedAt      TIMESTAMP     NOT NULL DEFAULT CURRENT_TIMESTAMP,
  UNIQUE KEY transactions_request (username, clientID, transactionID, operation)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

CREATE TABLE IF NOT EXISTS movie (
  movieID     INT UNSIGNED NOT NULL,
  title       VARCHAR(255) NOT NULL,
  director    VARCHAR(255) NOT NULL,
  releaseDate VARCHAR(64)  NOT NULL,
  cast        VARCHAR(512) NOT NULL,
  banner      VARCHAR(255) NOT NULL,
  category    VARCHAR(64)  NOT NULL,
  rated       VARCHAR(16)  NOT NULL,
  count       INT UNSIGNED NOT NULL,
  PRIMARY KEY (movieID),
  UNIQUE KEY movie_title (title)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

CREATE TABLE IF NOT EXISTS checkedoutmovies (
  username VARCHAR(64)  NOT NULL,
  movieID  INT UNSIGNED NOT NULL,
  KEY checkedout_user (username)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- NULL inserted into timeofrequest stores the time of the insert, to the
-- microsecond, so that waiting lists keep the order of the requests.
CREATE TABLE IF NOT EXISTS waitlistedmovies (
  username      VARCHAR(64)  NOT NULL,
  movieID       INT UNSIGNED NOT NULL,
  timeofrequest TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),
  KEY waitlist_movie (movieID, timeofrequest),
  KEY waitlist_user (username, timeofrequest)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Failed guesses of a name's password or ticket from one caller address,
-- one row per guess (the replicas of one request share its tag): what the
-- cut-off of guessing counts, by the database's clock.
CREATE TABLE IF NOT EXISTS guesses (
  username VARCHAR(64)  NOT NULL,
  caller   VARCHAR(64)  NOT NULL,
  kind     VARCHAR(16)  NOT NULL,
  guessTag CHAR(64)     NOT NULL,
  failedAt TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),
  UNIQUE KEY guesses_one (username, caller, kind, guessTag),
  KEY guesses_recent (username, caller, kind, failedAt)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Sessions that ended (logged out, replaced by a new log-in, discontinued),
-- kept for the guessing window: a late request with such a ticket is the
-- customer's own, refused without counting as a guess.
CREATE TABLE IF NOT EXISTS ended_ticket (
  username VARCHAR(64)  NOT NULL,
  tokenTag CHAR(64)     NOT NULL,
  endedAt  TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),
  UNIQUE KEY ended_one (username, tokenTag)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Tables created before client identities grew to 42 digits get the width
-- on the next load of this file; once applied this changes nothing.
ALTER TABLE client MODIFY clientID VARCHAR(64) NOT NULL;
ALTER TABLE transactions MODIFY clientID VARCHAR(64) NOT NULL;

-- A log from before the unique key gets it here. Duplicate rows of one
-- request (a lookup treated them alike) keep one; IGNORE drops the rest
-- instead of failing the upgrade.
ALTER TABLE transactions ADD COLUMN IF NOT EXISTS operation VARCHAR(32) NOT NULL DEFAULT '';
ALTER IGNORE TABLE transactions
  ADD UNIQUE KEY IF NOT EXISTS transactions_request (username, clientID, transactionID, operation);
ALTER TABLE transactions DROP KEY IF EXISTS transactions_lookup;

-- The request protocol the replicas serving this database must speak: a
-- replica of another version refuses to serve it (they would not exclude
-- each other). Loading this file records the version it goes with.
CREATE TABLE IF NOT EXISTS protocol_version (
  id      TINYINT NOT NULL,
  version INT     NOT NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB;
INSERT INTO protocol_version VALUES (1, 2) ON DUPLICATE KEY UPDATE version = 2;

-- Waiting rows whose account is gone, left by discontinuations from before
-- they removed them: a return would hand a copy to no one. Discontinuation
-- now deletes them with the account, so this finds nothing afterwards.
DELETE FROM waitlistedmovies WHERE username NOT IN (SELECT username FROM user);

-- Secrets at rest. Tables from before: room for sealed card numbers; the
-- request log's operation and caller; sessions stored as keyed hashes of
-- their tokens, with their times. A session from before held its token in
-- the clear: it ends here (its customer logs in again). Passwords and card
-- numbers of old rows are rewritten at the account's next log-in, and all
-- at once by `acctserver --upgrade-secrets` (docs/deployment.md).
ALTER TABLE user MODIFY creditCardNum VARCHAR(512) NOT NULL;
ALTER TABLE transactions ADD COLUMN IF NOT EXISTS operation VARCHAR(32) NOT NULL DEFAULT '' AFTER transactionID;
ALTER TABLE transactions ADD COLUMN IF NOT EXISTS callerTag CHAR(64) NOT NULL DEFAULT '' AFTER operation;
ALTER TABLE transactions ADD COLUMN IF NOT EXISTS answer VARCHAR(255) NOT NULL DEFAULT '' AFTER callerTag;
ALTER TABLE ticket ADD COLUMN IF NOT EXISTS tokenTag CHAR(64) NOT NULL DEFAULT '' AFTER username;
ALTER TABLE ticket ADD COLUMN IF NOT EXISTS openedAt TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6);
ALTER TABLE ticket ADD COLUMN IF NOT EXISTS seenAt TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6);
DELETE FROM ticket WHERE tokenTag = '';
ALTER TABLE ticket DROP COLUMN IF EXISTS token;
