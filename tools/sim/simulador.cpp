#include "tools/sim/simulador.h"

#include "tools/sim/pty.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <thread>

namespace korasim {

namespace {
constexpr std::size_t kMaxLog = 200000;  // keeps a soak run's memory bounded
// A pause this long between bytes starts a new frame, as the terminals' own
// receive timeout does; it also clears half frames left by a host that gave up.
constexpr qint64 kPausaTramaMs = 100;
// 10 bits per byte at 57600 baud.
constexpr std::chrono::nanoseconds kTiempoByte{1'000'000'000LL * 10 / 57600};
}  // namespace

QString EntradaLog::texto() const
{
    static const char *const sentidos[] = {"<-", "->", "<=", "xx"};
    QString t = QStringLiteral("%1 T%2 %3 %4 [%5]")
                    .arg(momento.toString(Qt::ISODateWithMs),
                         terminal < 0 ? QStringLiteral("?") : QString::number(terminal),
                         QLatin1String(sentidos[int(sentido)]), hex(bytes), canal);
    if (!nota.isEmpty())
        t += QStringLiteral(" ") + nota;
    return t;
}

struct Simulador::Nucleo {
    mutable QMutex mutex;
    std::map<int, std::unique_ptr<Terminal>> terminales;

    mutable QMutex mutexLog;
    std::deque<EntradaLog> log;
    std::function<void(const EntradaLog &)> observador;

    std::atomic<bool> ritmo{false};

    QThread hilo;
    QObject *servidor = nullptr;  // lives in `hilo`; parent of every port object
    bool detenido = false;

    Terminal *buscar(int codigo) const
    {
        QMutexLocker l(&mutex);
        const auto it = terminales.find(codigo);
        return it == terminales.end() ? nullptr : it->second.get();
    }

    void anotar(int terminal, EntradaLog::Sentido sentido, const QString &canal, const QByteArray &bytes,
                const QString &nota = {})
    {
        EntradaLog e{QDateTime::currentDateTime(), terminal, sentido, canal, bytes, nota};
        QMutexLocker l(&mutexLog);
        log.push_back(e);
        if (log.size() > kMaxLog)
            log.pop_front();
        if (observador)
            observador(e);
    }

    // Runs `f` on the simulator's thread and waits for it.
    template <typename F>
    void enHilo(F &&f)
    {
        QMetaObject::invokeMethod(servidor, std::forward<F>(f), Qt::BlockingQueuedConnection);
    }
};

namespace {

using Sentido = EntradaLog::Sentido;

// Serves the request cut out of a stream and returns the answer to send, if any.
std::optional<Terminal::Salida> atenderTrama(Simulador::Nucleo &n, Terminal *t, const Trama &trama,
                                             const QString &canal)
{
    if (!t) {
        n.anotar(trama.direccion, Sentido::Peticion, canal, trama.bytes,
                 QStringLiteral("no simulated terminal with this address"));
        return std::nullopt;
    }
    Terminal::Salida s = t->atender(trama);
    n.anotar(trama.direccion, Sentido::Peticion, canal, trama.bytes, s.bytes ? QString() : s.nota);
    if (!s.bytes)
        return std::nullopt;
    return s;
}

void anotarDescarte(Simulador::Nucleo &n, const Ensamblador::Resultado &r, const QString &canal)
{
    n.anotar(r.bytes.isEmpty() ? -1 : quint8(r.bytes[0]), Sentido::Descartado, canal, r.bytes,
             r.tipo == Ensamblador::Tipo::ChecksumErroneo ? QStringLiteral("bad checksum")
                                                          : QStringLiteral("unknown command"));
}

class BusPty : public QObject {
public:
    BusPty(Simulador::Nucleo &n, pty::Par par, Modo modo, const QList<int> &codigos, QObject *padre)
        : QObject(padre), n_(n), par_(std::move(par)), modo_(modo),
          codigos_(codigos.begin(), codigos.end()),
          canal_(QStringLiteral("pty ") + par_.ruta),
          aviso_(new QSocketNotifier(qintptr(par_.maestro), QSocketNotifier::Read, this))
    {
        connect(aviso_, &QSocketNotifier::activated, this, &BusPty::leer);
        ultimoByte_.start();
    }
    ~BusPty() override
    {
        delete aviso_;  // before its descriptor goes
        pty::cerrar(par_);
    }

private:
    Terminal *buscar(int codigo) const
    {
        if (!codigos_.isEmpty() && !codigos_.contains(codigo))
            return nullptr;
        return n_.buscar(codigo);
    }

    void leer()
    {
        char buf[4096];
        const qint64 leidos = pty::leer(par_.maestro, buf, sizeof buf);
        if (leidos < 0) {
            aviso_->setEnabled(false);
            return;
        }
        if (leidos == 0)
            return;
        if (ultimoByte_.restart() > kPausaTramaMs)
            ens_.vaciar();

        QByteArray eco;
        std::vector<Ensamblador::Resultado> resultados;
        for (qint64 i = 0; i < leidos; ++i) {
            ens_.agregar(QByteArrayView(buf + i, 1));
            if (modo_ == Modo::RS485) {
                // The converter echoes everything on the bus; the no-echo fault
                // belongs to the terminal the frame is addressed to.
                Terminal *t = buscar(quint8(ens_.pendiente()[0]));
                if (!t || !t->sinEco())
                    eco.append(buf[i]);
            }
            while (auto r = ens_.siguiente())
                resultados.push_back(std::move(*r));
        }
        if (!eco.isEmpty()) {
            n_.anotar(quint8(eco[0]), Sentido::Eco, canal_, eco);
            enviar(eco);
        }
        for (const auto &r : resultados) {
            if (r.tipo != Ensamblador::Tipo::Completa) {
                anotarDescarte(n_, r, canal_);
                continue;
            }
            Terminal *t = buscar(r.trama.direccion);
            if (auto s = atenderTrama(n_, t, r.trama, canal_))
                responder(r.trama.direccion, *s);
        }
    }

    void responder(int codigo, const Terminal::Salida &s)
    {
        auto enviarAhora = [this, codigo, bytes = *s.bytes, nota = s.nota] {
            n_.anotar(codigo, Sentido::Respuesta, canal_, bytes, nota);
            enviar(bytes);
        };
        if (s.retrasoMs > 0)
            QTimer::singleShot(s.retrasoMs, this, enviarAhora);
        else
            enviarAhora();
    }

    void enviar(const QByteArray &bytes)
    {
        if (!n_.ritmo.load()) {
            pty::escribir(par_.maestro, bytes.constData(), bytes.size());
            return;
        }
        // Deadlines from one start point, so sleeping late on one byte does not add up.
        const auto inicio = std::chrono::steady_clock::now();
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            std::this_thread::sleep_until(inicio + kTiempoByte * (i + 1));
            pty::escribir(par_.maestro, bytes.constData() + i, 1);
        }
    }

    Simulador::Nucleo &n_;
    pty::Par par_;
    const Modo modo_;
    const QSet<int> codigos_;
    const QString canal_;
    QSocketNotifier *aviso_;
    Ensamblador ens_;
    QElapsedTimer ultimoByte_;
};

class ServidorTcp : public QObject {
public:
    ServidorTcp(Simulador::Nucleo &n, quint8 codigo, QObject *padre)
        : QObject(padre), n_(n), codigo_(codigo), servidor_(new QTcpServer(this))
    {
        connect(servidor_, &QTcpServer::newConnection, this, &ServidorTcp::aceptar);
    }

    quint16 escuchar(const QHostAddress &dir, quint16 puerto, QString *error)
    {
        if (!servidor_->listen(dir, puerto)) {
            if (error)
                *error = servidor_->errorString();
            return 0;
        }
        canal_ = QStringLiteral("tcp %1:%2").arg(dir.toString()).arg(servidor_->serverPort());
        return servidor_->serverPort();
    }

private:
    void aceptar()
    {
        while (QTcpSocket *s = servidor_->nextPendingConnection()) {
            // Freed with the connection, when the socket goes.
            auto ens = std::make_shared<Ensamblador>();
            connect(s, &QTcpSocket::readyRead, this, [this, s, ens] { leer(s, *ens); });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    }

    void leer(QTcpSocket *s, Ensamblador &ens)
    {
        ens.agregar(s->readAll());
        while (auto r = ens.siguiente()) {
            if (r->tipo != Ensamblador::Tipo::Completa) {
                anotarDescarte(n_, *r, canal_);
                continue;
            }
            // The listener belongs to one terminal; other addresses get no answer.
            Terminal *t = r->trama.direccion == codigo_ ? n_.buscar(codigo_) : nullptr;
            auto salida = atenderTrama(n_, t, r->trama, canal_);
            if (!salida)
                continue;
            QPointer<QTcpSocket> destino(s);
            auto enviar = [this, destino, bytes = *salida->bytes, nota = salida->nota] {
                if (!destino)
                    return;
                n_.anotar(codigo_, Sentido::Respuesta, canal_, bytes, nota);
                destino->write(bytes);
            };
            if (salida->retrasoMs > 0)
                QTimer::singleShot(salida->retrasoMs, s, enviar);
            else
                enviar();
        }
    }

    Simulador::Nucleo &n_;
    const quint8 codigo_;
    QTcpServer *servidor_;
    QString canal_;
};

}  // namespace

Simulador::Simulador() : d(std::make_unique<Nucleo>())
{
    d->hilo.setObjectName(QStringLiteral("kora-sim"));
    d->servidor = new QObject;
    d->servidor->moveToThread(&d->hilo);
    QObject::connect(&d->hilo, &QThread::finished, d->servidor, &QObject::deleteLater);
    d->hilo.start();
}

Simulador::~Simulador()
{
    detener();
}

void Simulador::detener()
{
    if (d->detenido)
        return;
    d->detenido = true;
    QObject *servidor = d->servidor;
    d->enHilo([servidor] {
        const QObjectList hijos = servidor->children();
        qDeleteAll(hijos);
    });
    d->hilo.quit();
    d->hilo.wait();
}

Terminal &Simulador::agregarTerminal(quint8 codigo)
{
    QMutexLocker l(&d->mutex);
    auto &t = d->terminales[codigo];
    if (!t)
        t = std::make_unique<Terminal>(codigo);
    return *t;
}

Terminal *Simulador::terminal(int codigo) const
{
    return d->buscar(codigo);
}

QList<int> Simulador::codigos() const
{
    QMutexLocker l(&d->mutex);
    QList<int> c;
    for (const auto &[codigo, t] : d->terminales)
        c.append(codigo);
    return c;
}

QString Simulador::abrirPty(Modo modo, const QList<int> &codigos, QString *error)
{
    if (d->detenido)
        return {};
    QString ruta;
    Nucleo &n = *d;
    d->enHilo([&] {
        auto par = pty::abrir(error);
        if (!par)
            return;
        ruta = par->ruta;
        new BusPty(n, std::move(*par), modo, codigos, n.servidor);
    });
    return ruta;
}

quint16 Simulador::escucharTcp(quint8 codigo, const QHostAddress &direccion, quint16 puerto, QString *error)
{
    if (d->detenido)
        return 0;
    agregarTerminal(codigo);
    quint16 resultado = 0;
    Nucleo &n = *d;
    d->enHilo([&] {
        auto *s = new ServidorTcp(n, codigo, n.servidor);
        resultado = s->escuchar(direccion, puerto, error);
        if (!resultado)
            delete s;
    });
    return resultado;
}

void Simulador::fijarRitmoSerie(bool pausado)
{
    d->ritmo.store(pausado);
}

QList<EntradaLog> Simulador::registro() const
{
    QMutexLocker l(&d->mutexLog);
    return QList<EntradaLog>(d->log.begin(), d->log.end());
}

void Simulador::limpiarRegistro()
{
    QMutexLocker l(&d->mutexLog);
    d->log.clear();
}

void Simulador::fijarObservador(std::function<void(const EntradaLog &)> observador)
{
    QMutexLocker l(&d->mutexLog);
    d->observador = std::move(observador);
}

}  // namespace korasim
