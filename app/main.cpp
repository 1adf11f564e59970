#include "form1.h"
#include "instancia_unica.h"
#include "mod_variables.h"
#include "servicio.h"
#include "traduccion.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

// No argument: the window. --servicio: unattended, without a window (a
// server needs no display). Anything else is refused before Qt reads it.
int main(int argc, char *argv[])
{
    if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--servicio") != 0)) {
        std::fputs("Uso: kalverostin [--servicio]\n"
                   "  sin opciones  abre la ventana\n"
                   "  --servicio    lee los terminales sin ventana; el registro sale por la salida estándar\n",
                   stderr);
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
