/* The C face: open the encoder, issue a guest card, read it back, check it
   out, close the encoder. It needs a hotel named by the Tavoper.ini beside
   libholvanter.so (tavocard hotel init) and a blank card on the encoder of
   port 0. Prints each result; exits 1 when a step did not do its work.

     cc c_face.c $(pkg-config --cflags --libs holvanter)                     */
#include <holvanter/holvanter.h>

#include <stdio.h>
#include <time.h>

/* A call returns 0 when the method ran (its result code is in *result), or the
   HRESULT of a failure without a result code. */
static int done(const char *step, int32_t call, int16_t result) {
  if (call != 0) {
    fprintf(stderr, "%s failed (0x%08X): %s\n", step, (unsigned)call, tavo_last_error());
    return 0;
  }
  printf("%s=%d\n", step, result);
  if (result != TAVO_DONE) {
    fprintf(stderr, "%s: %s\n", step, tavo_last_reason());
    return 0;
  }
  return 1;
}

/* The stamp YYYYMMDDhhmm of hour:00 local time, the given number of days from
   today, into text (13 bytes). */
static void stamp(char *text, int days, int hour) {
  time_t now = time(NULL);
  struct tm day = *localtime(&now);
  day.tm_mday += days; /* mktime carries it into the next month or year */
  day.tm_hour = hour;
  day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  mktime(&day);
  strftime(text, 13, "%Y%m%d%H%M", &day);
}

int main(void) {
  tavo_card *card = NULL;
  int32_t handle = 0, closed = 0;
  int16_t result = 0;
  /* Every in/out text buffer holds TAVO_TEXT_CAP bytes. */
  char card_no[TAVO_TEXT_CAP] = "", rooms[TAVO_TEXT_CAP] = "";
  char begin[TAVO_TEXT_CAP] = "", end[TAVO_TEXT_CAP] = "", unused[TAVO_TEXT_CAP] = "";
  /* The stay: from today 14:00 to the day after tomorrow 12:00. */
  char stay_begin[13], stay_end[13];
  int ok = 0;

  stamp(stay_begin, 0, 14);
  stamp(stay_end, 2, 12);

  if (tavo_card_create(&card) != 0) {
    fprintf(stderr, "no TavoCard: %s\n", tavo_last_error());
    return 1;
  }
  /* Port 0; *handle is port + 1 when the encoder opened, else -99. */
  if (tavo_open_port(card, 0, NULL, &handle) == 0 && handle == 1) {
    printf("OpenPort=%d\n", handle);
    /* A guest card for room 0203 on floor 2 of building 1; card_no receives
       the new card number as six hexadecimal figures. */
    int32_t call = tavo_write_card(card, handle, stay_begin, stay_end, card_no, 1, 2, "0203",
                                   "Li Wei", &result);
    if (done("WriteCard", call, result)) {
      printf("card number (hex) %s\n", card_no);
      call = tavo_read_card(card, handle, card_no, rooms, begin, end, &result);
      if (done("ReadCard", call, result)) {
        printf("card %s rooms %s begin %s end %s\n", card_no, rooms, begin, end);
        /* Room 0000 checks the card out: rooms released, record closed, card
           erased. The stamps must still be acceptable ones; it does not use them. */
        call = tavo_write_card(card, handle, stay_begin, stay_end, unused, 1, 2, "0000", "",
                               &result);
        ok = done("check-out", call, result);
      }
    }
    tavo_close_port(card, NULL, &closed);
    printf("ClosePort=%d\n", closed);
  } else {
    fprintf(stderr, "OpenPort=%d: the encoder did not open\n", handle);
  }
  tavo_card_release(card);
  return ok ? 0 : 1;
}
