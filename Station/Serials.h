// New serial numbers for "initial" on many cards: the rules the tool applies
// to a serial, a list read from a file, or a numbered series from a pattern.
// Every problem is found before any card is touched.
#ifndef QEL_STATION_SERIALS_H_
#define QEL_STATION_SERIALS_H_

#include <string>
#include <vector>

// The longest serial an ID table holds.
constexpr size_t kMaxSerialLength = 20;

// Why the tool would refuse `serial` ("" when it takes it): empty, all
// blanks, a byte outside 0x20-0x7E, or longer than 20 characters.
std::string SerialProblem(const std::string& serial);

// Serials of `text`, one a line ("\r\n" ends a line too; the last line may
// lack its line end). False with *error naming the line of the first serial
// refused, or of a serial that repeats an earlier one.
bool ParseSerialList(const std::string& text, std::vector<std::string>* serials,
                     std::string* error);

// `count` serials from `pattern` holding one "%d" (optionally "%0Nd" or
// "%Nd", N up to 20; "%%" is a percent sign), numbered from `first`. False
// with *error for a bad pattern or a serial refused.
bool ExpandSerialPattern(const std::string& pattern, unsigned long long first, size_t count,
                         std::vector<std::string>* serials, std::string* error);

// Removes the blanks the ID table pads a serial with, as a card reads back.
std::string TrimBlanks(const std::string& text);

#endif  // QEL_STATION_SERIALS_H_
