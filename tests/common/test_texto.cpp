#include "common/texto.h"

#include <QTest>

class TestTexto : public QObject {
    Q_OBJECT
private slots:
    void numeroDeTexto()
    {
        const std::pair<const char *, double> casos[] = {
            {"12", 12}, {"   7", 7}, {" 1 2 3", 123}, {"7,9", 7}, {"7.6", 7.6}, {"-5", -5}, {"1.5E2x", 150}, {"2d1", 20},
            {"3e", 3}, {"&H1F", 31}, {"&hff", 255}, {"&O17", 15}, {"&X1", 0}, {"COM3", 0}, {"", 0}, {"-", 0}, {".", 0},
            {".5", 0.5}, {"+-1", 0}, {"1.2.3", 1.2}};
        for (const auto &[texto, valor] : casos) // the text names the failing case
            if (!QTest::qCompare(valorNumerico(QString(texto)), valor, texto, "", __FILE__, __LINE__))
                return;
    }

    void redondeoYRangos()
    {
        QCOMPARE(redondearPar(2.5), 2.0);
        QCOMPARE(redondearPar(3.5), 4.0);
        QCOMPARE(redondearPar(-2.5), -2.0);
        QCOMPARE(redondearPar(7.6), 8.0);
        QCOMPARE(aEntero16(32767.4).value(), qint16(32767));
        QVERIFY(!aEntero16(32767.5)); // rounds to 32768: out of range
        QVERIFY(!aEntero16(-40000));
        QVERIFY(!aEntero32(valorNumerico(QString(400, u'9')))); // infinity
        QCOMPARE(textoAEntero16(u"  42abc").value(), qint16(42));
    }

    void ansi()
    {
        const QString t = QStringLiteral("Médico €ñ");
        const QByteArray b = aAnsi(t);
        QCOMPARE(b, QByteArray("M\xE9" "dico \x80\xF1"));
        QCOMPARE(desdeAnsi(b), t);
        QCOMPARE(aAnsi(u"日本"), QByteArray("??"));
        // Every byte survives a round trip.
        QByteArray todos;
        for (int i = 0; i < 256; ++i)
            todos.append(char(i));
        QCOMPARE(aAnsi(desdeAnsi(todos)), todos);
    }
};

QTEST_GUILESS_MAIN(TestTexto)
#include "test_texto.moc"
