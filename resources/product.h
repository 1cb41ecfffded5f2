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
/* The other texts of the version block (UTF-8: the version block's source reads this file in code
 * page 65001); tavrin-pack writes them into a package unless told others. */
#define TAVRIN_FILE_DESCRIPTION TAVRIN_PRODUCT_NAME " — single-file application launcher"
#define TAVRIN_LEGAL_COPYRIGHT "Copyright © 2026 " TAVRIN_COMPANY_NAME
#define TAVRIN_ORIGINAL_FILENAME "VX-Bench.exe"
#define TAVRIN_INTERNAL_NAME "VX-Bench"

#define TAVRIN_WIDEN_(text) L##text
#define TAVRIN_WIDEN(text) TAVRIN_WIDEN_(text)

#endif
