/* Company, product and version texts of the launcher: the one place they are defined.
 * Plain preprocessor definitions, so that the resource compiler (version block) and the directory
 * spec expansion ({COMPANY}, {PRODUCT}, {VERSION}, ...) read the same text. */
#ifndef TAVRIN_RESOURCES_PRODUCT_H
#define TAVRIN_RESOURCES_PRODUCT_H

#define TAVRIN_COMPANY_NAME "VX BENCH"
#define TAVRIN_PRODUCT_NAME "VX BENCH"
#define TAVRIN_FILE_VERSION_TEXT "1.4.2.0"
#define TAVRIN_PRODUCT_VERSION_TEXT "1.4.2.0"
/* The same versions as the four numbers of the version block's fixed part. */
#define TAVRIN_FILE_VERSION_NUMBERS 1, 4, 2, 0
#define TAVRIN_PRODUCT_VERSION_NUMBERS 1, 4, 2, 0

#define TAVRIN_WIDEN_(text) L##text
#define TAVRIN_WIDEN(text) TAVRIN_WIDEN_(text)

#endif
