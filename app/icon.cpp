#include "app/icon.h"

#include "app/resource.h"

// Resources compiled into a static library are dropped by the linker unless something names them.
static void InitResources() {
    Q_INIT_RESOURCE(kestavo);
}

namespace kestavo::app {

QIcon WindowIcon() {
    static const bool initialised = (InitResources(), true);
    (void)initialised;
    return QIcon(QString::fromLatin1(kIconResource));
}

} // namespace kestavo::app
