/*
 * murvo_version.h - the release number of vardel and murvousb, kept here and nowhere else.
 *
 * The version resources of vardel.exe and murvousb.sys and vardel's banner take it from this
 * file; the build reads the same lines for the INF file's DriverVer and the package name.
 * MURVO_RELEASE_DATE is the date of the release (month/day/year, as DriverVer writes it), set
 * by hand with the number, so that nothing depends on the day of the build. Plain #defines
 * only: the resource compiler and the build's own reader parse them too.
 */
#ifndef MURVO_COMMON_MURVO_VERSION_H
#define MURVO_COMMON_MURVO_VERSION_H

#define MURVO_VERSION_MAJOR 0
#define MURVO_VERSION_MINOR 20
#define MURVO_VERSION_PATCH 0
#define MURVO_RELEASE_DATE "12/09/2026"

#define MURVO_COMPANY_NAME "MURVO"
#define MURVO_PRODUCT_NAME "MURVO flash update"

#define MURVO_STRINGIFY_(x) #x
#define MURVO_STRINGIFY(x) MURVO_STRINGIFY_(x)

/* "0.20.0", and the four numbers of the resources' binary version, the last always 0. */
#define MURVO_VERSION_TEXT               \
    MURVO_STRINGIFY(MURVO_VERSION_MAJOR) \
    "." MURVO_STRINGIFY(MURVO_VERSION_MINOR) "." MURVO_STRINGIFY(MURVO_VERSION_PATCH)
#define MURVO_VERSION_NUMBERS MURVO_VERSION_MAJOR, MURVO_VERSION_MINOR, MURVO_VERSION_PATCH, 0

/* "0.20", as vardel's banner gives the release. */
#define MURVO_BANNER_VERSION MURVO_STRINGIFY(MURVO_VERSION_MAJOR) "." MURVO_STRINGIFY(MURVO_VERSION_MINOR)

#endif /* MURVO_COMMON_MURVO_VERSION_H */
