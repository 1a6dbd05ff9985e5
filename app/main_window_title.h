#pragma once

#include <QString>

// "Mv604 v2.00": the product and its version, never translated.
QString mainWindowTitle();
