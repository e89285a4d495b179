-- Demo schema of the accounting database, as far as the SMS service uses it: named
-- parameters, subscribers, the message log with one delivery row per channel (channel 0 is
-- SMS), and the function that registers an account-state message for a subscriber.
-- Loaded into an empty database by the tests and by scripts/demo.

-- The file is UTF-8, whatever the locale of the client that loads it.
SET client_encoding = 'UTF8';

CREATE TABLE appconfig (
    propid text PRIMARY KEY,
    val    text
);

INSERT INTO appconfig (propid, val) VALUES
    ('DBVER', '2.00'),
    ('SMSOLDHOURS', '24'),
    ('SMSTRANSLITERATE', '0');

CREATE TABLE abonents (
    abonentid serial PRIMARY KEY,
    cellphone text,
    name      text,
    balance   numeric(12, 2) NOT NULL DEFAULT 0
);

CREATE TABLE msglog (
    msgid     serial PRIMARY KEY,
    abonentid integer NOT NULL REFERENCES abonents,
    msgtext   text,
    regdt     timestamp NOT NULL DEFAULT LOCALTIMESTAMP
);

CREATE TABLE msgdelivery (
    msgid  integer NOT NULL REFERENCES msglog ON DELETE CASCADE,
    chanid integer NOT NULL,
    sentdt timestamp NULL,
    PRIMARY KEY (msgid, chanid)
);

-- The sending pass looks only at unsent SMS deliveries.
CREATE INDEX msgdelivery_unsent_sms ON msgdelivery (msgid) WHERE chanid = 0 AND sentdt IS NULL;

-- Registers a message with the account state of the subscriber whose cell phone has the
-- same digits as the given number, to be delivered by SMS. Phones reach the service in
-- several spellings (+7..., 8 (916) ..., 7916...), so only the last ten digits are compared.
-- Returns 0 when the message was registered, 1 when no subscriber has that number.
CREATE FUNCTION prepare_acc_info(phone text) RETURNS integer
LANGUAGE plpgsql AS $$
DECLARE
    wanted text := right(regexp_replace(coalesce(phone, ''), '[^0-9]', '', 'g'), 10);
    subscriber abonents%ROWTYPE;
    newid integer;
BEGIN
    IF wanted = '' THEN
        RETURN 1;
    END IF;
    SELECT * INTO subscriber FROM abonents
        WHERE right(regexp_replace(coalesce(cellphone, ''), '[^0-9]', '', 'g'), 10) = wanted
        ORDER BY abonentid
        LIMIT 1;
    IF NOT FOUND THEN
        RETURN 1;
    END IF;
    INSERT INTO msglog (abonentid, msgtext)
        VALUES (subscriber.abonentid,
                format('Состояние счета на %s: баланс %s руб.',
                       to_char(LOCALTIMESTAMP, 'DD.MM.YYYY HH24:MI'),
                       to_char(subscriber.balance, 'FM999999990.00')))
        RETURNING msgid INTO newid;
    INSERT INTO msgdelivery (msgid, chanid) VALUES (newid, 0);
    RETURN 0;
END;
$$;
