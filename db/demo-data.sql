-- A few subscribers and pending SMS deliveries for scripts/demo: a Latin text, Russian
-- texts, a text longer than one message and a delivery on another channel that the service
-- leaves alone. Load after schema.sql.

-- The file is UTF-8, whatever the locale of the client that loads it.
SET client_encoding = 'UTF8';

INSERT INTO abonents (cellphone, name, balance) VALUES
    ('+79161234567', 'Иванов Иван Иванович', 1523.40),
    ('+79037654321', 'Petrova Anna', -312.75),
    ('8 (926) 555-01-02', 'Сидоров Пётр', 0);

INSERT INTO msglog (abonentid, msgtext, regdt) VALUES
    (1, 'Уважаемый абонент! Начислена плата за май: 1 250,00 руб.',
        LOCALTIMESTAMP - interval '40 minutes'),
    (2, 'Dear subscriber, your payment of 500.00 RUB has been received. Thank you!',
        LOCALTIMESTAMP - interval '30 minutes'),
    (3, 'Уважаемый абонент! Сообщаем, что 15 числа с 9:00 до 17:00 будут проводиться '
        'плановые работы на водопроводной сети. Просим заранее сделать запас воды. '
        'Приносим извинения за неудобства.',
        LOCALTIMESTAMP - interval '20 minutes'),
    (2, 'Zadolzhennost: 312,75 rub. Pozhalujsta, oplatite do 25 chisla.',
        LOCALTIMESTAMP - interval '10 minutes');

INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, 0 FROM msglog;
-- Channel 1 (e-mail, say) belongs to another service.
INSERT INTO msgdelivery (msgid, chanid) VALUES (1, 1);
