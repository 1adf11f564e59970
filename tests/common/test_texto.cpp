#include "common/texto.h"

#include <QTest>

class TestTexto : public QObject {
    Q_OBJECT
private slots:
    void numeroDeTexto_data()
    {
        QTest::addColumn<QString>("texto");
        QTest::addColumn<double>("valor");
        QTest::newRow("plain") << "12" << 12.0;
        QTest::newRow("leading blanks") << "   7" << 7.0;
        QTest::newRow("blanks inside") << " 1 2 3" << 123.0;
        QTest::newRow("comma stops") << "7,9" << 7.0;
        QTest::newRow("decimal") << "7.6" << 7.6;
        QTest::newRow("negative") << "-5" << -5.0;
        QTest::newRow("exponent") << "1.5E2x" << 150.0;
        QTest::newRow("D exponent") << "2d1" << 20.0;
        QTest::newRow("exponent without digits") << "3e" << 3.0;
        QTest::newRow("hex") << "&H1F" << 31.0;
        QTest::newRow("hex lower") << "&hff" << 255.0;
        QTest::newRow("octal") << "&O17" << 15.0;
        QTest::newRow("bad prefix") << "&X1" << 0.0;
        QTest::newRow("no number") << "COM3" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("lone sign") << "-" << 0.0;
        QTest::newRow("lone point") << "." << 0.0;
        QTest::newRow("fraction only") << ".5" << 0.5;
        QTest::newRow("two signs") << "+-1" << 0.0;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
    }
    void numeroDeTexto()
    {
        QFETCH(QString, texto);
        QFETCH(double, valor);
        QCOMPARE(::valorNumerico(QStringView(texto)), valor);
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
