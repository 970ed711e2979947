// The web user account store: 16 records of 128 bytes in one 2048-byte file.
#pragma once

#include <string_view>

inline constexpr int kUserCount = 16;
inline constexpr int kUserTableSize = 2048;

struct UserRecord {
    char name[64];
    char password[64];  // digest text by convention
};
static_assert(sizeof(UserRecord) == 128);

// A 64-byte text field (of a record or of login credentials) as text: up to
// its NUL, never past the field, so a damaged file without terminators reads
// safely.
std::string_view record_field_text(const char (&field)[64]);
// Sets a 64-byte text field to `text` cut to 63 characters, the rest zero.
void set_record_field(char (&field)[64], std::string_view text);

// Reads the table into `table` (16 records). A missing or wrong-size file is
// kept as "<file>.bad" and replaced by the default table (admin / digest of
// "qorvu"). 0, or -1 for a null buffer or when the default cannot be written.
int HTTP_Get_UsermgntConfig(UserRecord* table);

// Operation 0 add, 1 delete, 2 change password, other: no change.
// 0; -1 (null record, unreadable store, name exists, admin delete, full
// table, empty new password, write failure); -2 unknown user on change;
// -3 wrong password on delete; -4 stored password empty on change.
int HTTP_Set_UsermgntConfig(int operation, const UserRecord* record);

// 0 when a record has this name and the digest text of this plain password.
// An unreadable file is replaced like HTTP_Get_UsermgntConfig does, with the
// same default table.
int HTTP_Check_Uservalid(const char* name, const char* password);

// Test seam: the user file path; null restores the device path.
void set_user_file_path(const char* path);
