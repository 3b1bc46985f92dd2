/* layout_c.c - the layout facts of layout.h, compiled as C. */
#include "layout.h"

#define KVO_LAYOUT_ROW(expr) {#expr, expr},
const KvoLayoutFact kvoLayoutC[] = {KVO_LAYOUT_FACTS(KVO_LAYOUT_ROW)};
const size_t kvoLayoutCCount = sizeof kvoLayoutC / sizeof kvoLayoutC[0];
