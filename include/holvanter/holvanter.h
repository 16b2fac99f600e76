/* The TavoCard component, C face. A thin adapter over the C++ face in
   tavo_card.h: same methods, same result codes, same per-thread state. */
#ifndef HOLVANTER_HOLVANTER_H_
#define HOLVANTER_HOLVANTER_H_

#include <stdint.h>

#include "holvanter/export.h"
#include "holvanter/result_codes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAVO_TEXT_CAP 64   /* every in/out text buffer holds at least this many bytes */
typedef struct tavo_card tavo_card;
/* Each call returns 0 when the method ran and stored its result code in *result, or the
   nonzero HRESULT of the failure that ended it; tavo_last_error() then says why (per thread). */
HOLVANTER_EXPORT int32_t tavo_card_create(tavo_card **card); /* a new TavoCard object on this thread */
HOLVANTER_EXPORT void    tavo_card_release(tavo_card *card);
HOLVANTER_EXPORT int32_t tavo_open_port(tavo_card *card, int32_t port, const int32_t *baud,
                                        int32_t *result);
HOLVANTER_EXPORT int32_t tavo_close_port(tavo_card *card, const int32_t *IcDevH, int32_t *result);
HOLVANTER_EXPORT int32_t tavo_write_card(tavo_card *card, int32_t IcDevH, const char *BeginDate,
                                         const char *EndDate, char *CardNo, int16_t BldgNo,
                                         int16_t FloorNo, const char *Rooms,
                                         const char *HoderName, int16_t *result);
HOLVANTER_EXPORT int32_t tavo_read_card(tavo_card *card, int32_t IcDevH, char *CardNo,
                                        char *RoomNO, char *BeginDate, char *EndDate,
                                        int16_t *result);
HOLVANTER_EXPORT int32_t tavo_villa_card(tavo_card *card, int32_t IcDevH, const char *BeginDate,
                                         const char *EndDate, char *CardNo, int16_t BldgNo,
                                         int16_t FloorNo, const char *RoomNO,
                                         const char *HoderName, int16_t *result);
HOLVANTER_EXPORT const char *tavo_last_error(void);
/* Why the last card method on this thread ended as it did, where its result code alone does
   not say it (TavoCard::LastFailureReason): the settings file or database path looked at
   (-800, -820), the database's own message (-840, "busy: ..." when it was locked), a card
   write that failed, a check-out without an open record. "" after a method that did all its
   work. Valid until the next call of tavo_last_reason on this thread. */
HOLVANTER_EXPORT const char *tavo_last_reason(void);
/* Notes on the buffers and failures:
   - An in/out buffer is read up to its first zero byte, at most TAVO_TEXT_CAP bytes, and is
     written only when the method replaced its text. A text longer than TAVO_TEXT_CAP - 1 bytes
     is cut to that length at a UTF-8 character boundary (no text the component produces comes
     near it: the longest, a villa RoomNO, has 15 to 17 bytes).
   - CardNo of tavo_write_card and tavo_villa_card is written back even when the call then
     fails: a new card number stays handed out once the database holds it.
   - A NULL input text counts as an empty text. A NULL card, result or in/out buffer gives
     E_POINTER (0x80004003); any failure other than the component's own gives E_FAIL
     (0x80004005). tavo_last_error() is "" after a call that ran. */

#ifdef __cplusplus
}
#endif

#endif /* HOLVANTER_HOLVANTER_H_ */
