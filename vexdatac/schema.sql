-- vexdatac fund database, schema version 1.
--
-- Conventions
--   * Every date is ISO-8601 text 'YYYY-MM-DD' (no time part). Text of that
--     form sorts in date order, so ranges are plain BETWEEN comparisons and
--     the file stays readable with any SQLite tool.
--   * Order book ids are texts (six digits in the sample data).
--   * NULL means "unknown" or "not set": an optional fund attribute that is
--     NULL is absent from the fund object the client returns, a NULL limit
--     means there is no limit, a NULL fee bound means "no upper bound".
--   * Every per-fund table has a primary key that starts with order_book_id,
--     so a query for one fund (and a date range) is an index range scan.

CREATE TABLE meta (
    key   TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
-- keys: 'schema_version' ('1'), 'source' ('sample' or 'csv import'),
--       'date_format' ('YYYY-MM-DD')

CREATE TABLE instruments (
    order_book_id      TEXT PRIMARY KEY,
    symbol             TEXT NOT NULL,          -- fund name; not unique
    fund_type          TEXT NOT NULL,          -- Stock, Hybrid, Bond, Index, Money, ...
    listed_date        TEXT,                   -- NULL: unknown
    de_listed_date     TEXT,                   -- NULL: still alive / unknown
    accrued_daily      INTEGER CHECK (accrued_daily IN (0, 1)),
    accrued_type       TEXT CHECK (accrued_type IS NULL OR accrued_type <> ''),
    exchange           TEXT,                   -- only for exchange-listed funds
    amc                TEXT,                   -- fund management company
    amc_id             TEXT,
    benchmark          TEXT,
    establishment_date TEXT,
    fund_manager       TEXT,
    investment_scope   TEXT,
    issuer             TEXT,
    latest_size        REAL,                   -- fund size in yuan
    min_investment     REAL,                   -- minimum first subscription in yuan
    stop_date          TEXT,
    transition_time    INTEGER,                -- number of times the fund was converted
    trustee            TEXT,                   -- custodian bank
    round_lot          REAL NOT NULL DEFAULT 1.0
);
-- A fund accrues its income daily (money-market funds) when accrued_daily = 1
-- or accrued_type is set; the two are alternative ways of saying the same.

CREATE TABLE nav (
    order_book_id      TEXT NOT NULL REFERENCES instruments (order_book_id),
    date               TEXT NOT NULL,
    unit_net_value     REAL NOT NULL,
    adjusted_net_value REAL NOT NULL,   -- total-return series, continuous through dividends and splits
    daily_profit       REAL,            -- income per 10,000 units (daily-accruing funds)
    weekly_yield       REAL,            -- 7-day annualised yield in percent (daily-accruing funds)
    PRIMARY KEY (order_book_id, date)
) WITHOUT ROWID;

CREATE TABLE status (
    order_book_id         TEXT NOT NULL REFERENCES instruments (order_book_id),
    date                  TEXT NOT NULL,
    subscribe_status      TEXT NOT NULL CHECK (subscribe_status IN ('Open', 'Limited', 'Suspended', 'Close')),
    redeem_status         TEXT NOT NULL CHECK (redeem_status IN ('Open', 'Limited', 'Suspended', 'Close')),
    subscribe_upper_limit REAL,         -- cash amount; NULL: no limit
    subscribe_lower_limit REAL,         -- cash amount; NULL: no limit
    redeem_lower_limit    REAL,         -- units; NULL: no limit
    PRIMARY KEY (order_book_id, date)
) WITHOUT ROWID;

CREATE TABLE dividends (
    order_book_id       TEXT NOT NULL REFERENCES instruments (order_book_id),
    ex_dividend_date    TEXT NOT NULL,
    book_closure_date   TEXT NOT NULL,
    payable_date        TEXT NOT NULL,
    dividend_before_tax REAL NOT NULL CHECK (dividend_before_tax > 0),  -- cash per unit
    PRIMARY KEY (order_book_id, ex_dividend_date)
) WITHOUT ROWID;

CREATE TABLE splits (
    order_book_id    TEXT NOT NULL REFERENCES instruments (order_book_id),
    ex_dividend_date TEXT NOT NULL,
    split_ratio      REAL NOT NULL CHECK (split_ratio > 0),  -- units after per unit before
    PRIMARY KEY (order_book_id, ex_dividend_date)
) WITHOUT ROWID;

CREATE TABLE trading_calendar (
    date TEXT PRIMARY KEY
) WITHOUT ROWID;

-- Fee tiers, ordered by `tier` (0, 1, ...) within (fund, kind).
--   subscription: upper_bound is the amount (yuan) below which the tier applies;
--                 the tier charges either `rate` (front-end rate, 0.015 = 1.5%)
--                 or `fixed_fee` (yuan), never both.
--   redemption:   upper_bound is the holding period in days below which the
--                 tier applies; `rate` is the redemption rate, fixed_fee NULL.
--   The last tier of each (fund, kind) has upper_bound NULL (no upper bound).
CREATE TABLE fees (
    order_book_id TEXT NOT NULL REFERENCES instruments (order_book_id),
    kind          TEXT NOT NULL CHECK (kind IN ('subscription', 'redemption')),
    tier          INTEGER NOT NULL CHECK (tier >= 0),
    upper_bound   REAL,
    rate          REAL CHECK (rate IS NULL OR rate >= 0),
    fixed_fee     REAL CHECK (fixed_fee IS NULL OR fixed_fee >= 0),
    CHECK ((rate IS NULL) <> (fixed_fee IS NULL)),
    CHECK (kind = 'subscription' OR fixed_fee IS NULL),
    PRIMARY KEY (order_book_id, kind, tier)
) WITHOUT ROWID;
