/*
 * Portability shims for building libpri with mingw-w64. Force-included
 * (-include) ahead of every libpri source file; changes nothing in libpri's
 * own files.
 */
#ifndef VAXO_LIBPRI_WIN_COMPAT_H
#define VAXO_LIBPRI_WIN_COMPAT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/types.h>

/* BSD integer names used throughout Q.921/Q.931. */
typedef uint8_t u_int8_t;
typedef uint16_t u_int16_t;
typedef uint32_t u_int32_t;

/*
 * The frame headers are bit fields laid out by __BYTE_ORDER; without these
 * the headers would silently take the big-endian layout. Every Windows
 * target is little-endian.
 */
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "libpri Windows build: big-endian target"
#endif
#define __LITTLE_ENDIAN 1234
#define __BIG_ENDIAN 4321
#define __BYTE_ORDER __LITTLE_ENDIAN

/* random(): TEI reference numbers and the Q.921 test frame choice. rand()
 * gives only 15 bits here, so two draws make one value. */
static inline long vaxo_pri_random(void)
{
	return (long)((((unsigned long)rand() & 0x7fffUL) << 15) | ((unsigned long)rand() & 0x7fffUL));
}
#define random() vaxo_pri_random()

/* localtime_r() for the Q.931 date/time element. */
static inline struct tm *vaxo_pri_localtime_r(const time_t *t, struct tm *out)
{
	return localtime_s(out, t) == 0 ? out : NULL;
}
#define localtime_r(t, out) vaxo_pri_localtime_r((t), (out))

#endif /* VAXO_LIBPRI_WIN_COMPAT_H */
