/* Reads the card on encoder port 0 through the C face of an installed
   component, built with pkg-config alone: prints "<card number> <room>". */
#include <holvanter/holvanter.h>

#include <stdio.h>

int main(void) {
  tavo_card *card = NULL;
  int32_t opened = 0;
  int16_t result = 0;
  char card_no[TAVO_TEXT_CAP] = "", room[TAVO_TEXT_CAP] = "";
  char begin[TAVO_TEXT_CAP] = "", end[TAVO_TEXT_CAP] = "";
  if (tavo_card_create(&card) != 0 || tavo_open_port(card, 0, NULL, &opened) != 0 || opened != 1) {
    fprintf(stderr, "encoder did not open: %s\n", tavo_last_error());
    return 1;
  }
  if (tavo_read_card(card, 1, card_no, room, begin, end, &result) != 0 || result != 0) {
    fprintf(stderr, "ReadCard=%d %s\n", result, tavo_last_error());
    return 1;
  }
  tavo_card_release(card);
  printf("%s %s\n", card_no, room);
  return 0;
}
