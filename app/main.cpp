#include "shell/nucleo/estado_consola.h"
#include "shell/nucleo/instancia_unica.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/servicio.h"
#include "shell/ventana/form1.h"
#include "shell/ventana/traduccion.h"
#include "storage/mod_ado.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

namespace {

const char *const kUso = "Uso: kalverostin [--servicio | --estado [--json] | --help | --version]\n"
                         "  sin opciones  abre la ventana\n"
                         "  --servicio    lee los terminales sin ventana; el registro sale por la salida estándar\n"
                         "  --estado      muestra el estado de cada terminal (--json: en JSON); sale con 0 si\n"
                         "                ninguno falla, 1 si alguno falla, 2 si no se puede leer la base de datos\n"
                         "  --help        muestra esta ayuda\n"
                         "  --version     muestra la versión\n";

} // namespace

// No argument: the window. --servicio: unattended, without a window (a
// server needs no display). Anything else is answered before Qt reads it.
int main(int argc, char *argv[])
{
    MOD_ado::SilenciarAvisosDeControladores();
    const char *opcion = argc == 2 ? argv[1] : "";
    if (std::strcmp(opcion, "--help") == 0) {
        std::fputs(kUso, stdout);
        return 0;
    }
    if (std::strcmp(opcion, "--version") == 0) {
        std::fputs("kalverostin " KALVEROSTIN_VERSION "\n", stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--estado") == 0
        && (argc == 2 || (argc == 3 && std::strcmp(argv[2], "--json") == 0)))
        return MostrarEstado(argc, argv, argc == 3);
    if (argc > 2 || (argc == 2 && std::strcmp(opcion, "--servicio") != 0)) {
        std::fputs(kUso, stderr);
        return 2;
    }
    if (argc == 2)
        return Servicio::Ejecutar(argc, argv);

    QApplication app(argc, argv);
    InstalarTraduccionQt(&app);
    // Held until the program ends; a second start only warns.
    InstanciaUnica instancia;
    if (!instancia.Adquirir()) {
        AvisarSegundaInstanciaConsola();
        QMessageBox::critical(nullptr, MOD_variables::TituloAplicacion, TextoSegundaInstancia());
        return 1;
    }
    Form1 ventana;
    ventana.show();
    return app.exec();
}
