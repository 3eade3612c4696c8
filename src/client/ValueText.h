// The four texts the item table shows for an item's value record: its type, its value, the time
// of the value and its quality. Pure functions (the time text also reads today's date); any thread.
#pragma once

#include "OPC_Item.h"

#include <string>

// "VT_I4", "array of VT_BSTR", or "type #<tag>" for a base type without a name.
std::string typeText(VARTYPE type);
// The value as the table shows it: integers in decimal, reals in the general 15-digit form with
// the locale's decimal separator, strings as they are (up to 255 bytes), "[array]" for arrays,
// everything else through its conversion to a real number, or its type name when there is none.
std::string valueText(const VARIANT& value);
// "hh:mm:ss:mmm" (hour padded with a blank) when the day of the month is today's, else
// "yyyy/mm/dd h:mm:ss:mmm"; the server's time as sent, with no time-zone change.
std::string timeStampText(const FILETIME& timeStamp);
// The same against a given local date and time instead of the clock's.
std::string timeStampText(const FILETIME& timeStamp, const SYSTEMTIME& now);
// "GOOD", "BAD: comm failure", "UNCERTAIN: #48" ...; the limit bits and the high byte are ignored.
std::string qualityText(WORD quality);

// The general form of a real number: at most 15 significant digits, fixed notation for
// magnitudes from 0.0001 below 1E15, scientific otherwise ("1E-5", "1E20"), trailing zeros
// dropped, the user locale's decimal separator; "INF", "-INF", "NAN".
std::string realText(double value);

// The same texts for an item's current record, read whole.
std::string valueText(const OPC_Item& item);
std::string timeStampText(const OPC_Item& item);
