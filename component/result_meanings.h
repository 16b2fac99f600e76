// What each result code of the card methods and of OpenPort means, in three
// forms: one that tells a clerk at the desk what to do next, a brief one of
// at most 40 characters for a PMS's one-line answer display (the PMS key
// link's clear text), and the full one that the front-desk command and the
// agent print beside the code.
// One table, so that every host says the same thing about the same code.
#ifndef HOLVANTER_COMPONENT_RESULT_MEANINGS_H_
#define HOLVANTER_COMPONENT_RESULT_MEANINGS_H_

#include <cstdint>
#include <span>
#include <string>

namespace holvanter {

struct ResultMeaningRow {
  int16_t code;       // a holvanter::result::k... code
  bool open_port;     // OpenPort's own code, not one of WriteCard, VillaCard, ReadCard
  const char* brief;  // at most kBriefMeaningLength characters
  const char* clerk;  // what the clerk should do
  const char* full;   // what happened
  const char* name;   // a stable snake_case name, for programs (the agent's error codes)
};

// The longest brief form: a PMS shows the key system's answer in 40.
inline constexpr std::size_t kBriefMeaningLength = 40;

// One row per named result code.
std::span<const ResultMeaningRow> ResultMeaningTable();

// A card write that ended with the encoder's own status byte (2 to 255):
// the card was not written.
bool IsWriteStatus(int code);

// The three forms of `code`: a row of the table, the rule of write statuses,
// or, for any other code, the code itself.
std::string ClerkMeaning(int code);
std::string BriefMeaning(int code);
std::string FullMeaning(int code);
// The name of `code`: the table's, "write_status" for 2 to 255, else
// "result_" and the code.
std::string ResultName(int code);

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_RESULT_MEANINGS_H_
