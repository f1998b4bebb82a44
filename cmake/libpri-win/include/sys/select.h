/* sys/select.h for the Windows build of libpri: select() and fd_set come
 * from Winsock (only pri_check_event/pri_dchannel_run use them, and the
 * module does not call those). */
#ifndef VAXO_LIBPRI_WIN_SYS_SELECT_H
#define VAXO_LIBPRI_WIN_SYS_SELECT_H
#include <winsock2.h>
#endif
