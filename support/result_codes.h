// support/result_codes.h
// Every numeric result code of the system, one name per value, each in the
// section of the range that holds its value: 0 is success; below 1000 the
// acquiring host's action codes; from 1000 the terminal's own; 2000 + status
// byte for a refusal by the host's front end; then the few codes outside the
// ranges, the file utilities (11000..) and the XML writer (11100..). Where
// one value serves two situations, its comment lists both. The launcher's
// exit statuses close the list. Header-only: the launcher includes it too.
#pragma once

enum : int {
    RES_OK = 0,

    // ---- 1..999: host action codes the terminal itself tests for ----
    // Not a host answer: the software-update state check reports a bad
    // UPDSOFT.BIN with it, in the log only (never an operation's result).
    RES_KWRM_SOFT_STATE = 122,
    RES_HOST_TOTALS_AGREED = 500,  // day close: totals agreed
    RES_HOST_TOTALS_DIFFER = 501,  // day close: totals differ

    // ---- 1000..1019: request ----
    RES_HOST_ACTION_END = 1000,    // bound: the terminal's own codes start here
    RES_REQ_OPERATION = 1001,      // OperationType missing or unknown
    RES_REQ_AMOUNT = 1002,         // Amount missing, not 1 to 12 digits, or nothing to pay
    RES_REQ_ORIGINAL_CODE = 1004,  // OriginalCode missing, not digits, or outside 1..65535
    RES_CURRENCY_DISABLED = 1006,  // currency missing or not enabled

    // ---- 1020..1039: configuration and TLS set-up ----
    RES_CFG_FILE = 1020,           // config file not opened, positioned, empty; rewrite failed
    RES_CFG_VALUE = 1022,          // value too long or unreadable; mandatory settings absent
    RES_CFG_NAME = 1025,           // key name too long or unreadable
    RES_TLS_SETUP = 1027,          // TLS set-up
    RES_TLS_CERT_FILES = 1028,     // certificate files
    RES_TLS_PAD_FILE = 1030,       // a TLS file not fetched from the pad or not parsed

    // ---- 1040..1063: records ----
    RES_BATCH_WRITE = 1040,        // batch file not written
    RES_RVS_WRITE = 1043,          // reversal file not written
    RES_RVS_READ = 1044,           // reversal file not read
    RES_RVS_NOT_FOUND = 1046,      // nothing to reverse-last, or its amount differs
    RES_JOURNAL_READ = 1060,       // journal not read
    RES_JOURNAL_WRITE = 1061,      // journal not written
    RES_LOG_WRITE = 1063,          // log line not written

    // ---- 1064..1079: start-up checks ----
    RES_PROBE_CURDIR = 1064,       // .cache in the current directory
    RES_PROBE_DATA = 1065,         // DATA/.cache
    RES_PROBE_LOG = 1066,          // LOG/.cache
    RES_PROBE_TEMP = 1067,         // TEMP/.cache
    RES_ACCESS_VERSION = 1068,     // DATA/VERSION not readable and writable
    RES_ACCESS_BATCH = 1069,       // DATA/BATCH.CFG not readable and writable
    RES_ACCESS_TRANS = 1070,       // DATA/TRANS.CFG not readable and writable
    RES_DISK_SPACE = 1071,         // 20 MB or less free under TEMP
    // Another call holds the payment directory (DATA/RAVO.LCK): this one is
    // refused at once, with no response file and nothing else touched.
    RES_TERMINAL_BUSY = 1072,

    // ---- 1080..1099: host exchange ----
    RES_HOST_CONNECT = 1080,       // host connection not established
    RES_HOST_SEND = 1081,          // host send failed
    RES_HOST_RECV = 1082,          // host receive failed
    RES_HOST_NO_RESPCODE = 1086,   // response without a usable response code
    // A host answer short of what it must carry: a transaction answer
    // without reference number and approval code, an echo-test answer
    // without an action code, a key-download answer of another type or
    // without key data.
    RES_HOST_NO_RRN_AUTH = 1087,
    RES_BALANCE_SHORT = 1090,      // balance data too short
    RES_VOID_NOT_FOUND = 1091,     // operation to cancel not found
    RES_HOST_ONLY_HOLDON = 1092,   // only hold-on answers received
    RES_HOST_BAD_LENGTH = 1093,    // host packet of length 0 or over 1024 bytes, or an envelope cut short
    RES_HOST_KEY_NO_RESPCODE = 1094, // key-download answer without a usable action code

    // ---- 1100..1199: batch ----
    RES_BATCH_BANNED = 1100,       // an earlier day close did not finish
    RES_BATCH_CLOSED = 1101,       // day close on a closed batch

    // ---- 1200..1299: response and receipt ----
    RES_RESPONSE_WRITE = 1200,     // response or receipt not written

    // ---- 1300..1399: PIN pad ----
    RES_PP_CONNECT = 1300,         // PIN pad not connected or not answering
    RES_PP_CARD_READ = 1301,       // card not read, timed out or cancelled
    RES_PP_PIN = 1303,             // PIN entry failed or cancelled
    RES_PP_NOT_CONFIRMED = 1304,   // amount not confirmed
    RES_PP_BALANCE = 1305,         // balance not shown
    RES_PP_KWPAD_VERSION = 1306,   // payment application too old or without TLS files
    RES_PP_FILE_CREATE = 1308,     // terminal file for a read from the pad not created
    RES_PP_NO_TK_RANGES = 1309,    // no transport key or card-range file on the pad
    RES_PP_LINK = 1310,            // PIN-pad link
    RES_PP_EMV_CONFIG = 1311,      // chip configuration not usable
    RES_CARD_REFUSED = 1312,       // card refused after host approval

    // ---- 1400..1449: card ranges ----
    RES_NO_RANGES = 1400,          // no card ranges
    RES_RANGE_NOT_FOUND = 1401,    // card range not found

    // ---- 1450..1499: keys ----
    // A key not obtained or not loaded: the host answered a key download
    // with another action code than 800, the pad refused a key load, or the
    // working key to load is not 32 hexadecimal digits.
    RES_KEY_REFUSED = 1450,
    RES_PP_KEY_CHECK = 1451,       // key check on the pad failed (no key or bad reply)

    // ---- 1500..1599: card-range permissions and cancels ----
    RES_RANGE_NO_BALANCE = 1500,   // balance not allowed for the card range
    RES_RANGE_NO_RETURN = 1501,    // return not allowed for the card range
    RES_ALREADY_CANCELLED = 1503,  // operation to cancel was already cancelled (a success)

    // ---- 1600..1703: terminal manager; its file codes also serve the file
    //      checks and transfers of the PIN-pad layer ----
    RES_KWRM_SETTINGS = 1600,      // manager settings unusable
    RES_KWRM_CONNECT = 1601,       // no TLS connection to the manager
    RES_KWRM_TRANSPORT = 1602,     // a frame not sent or not received whole
    RES_KWRM_FRAME = 1603,         // answer frame without STX or ETX
    RES_KWRM_LENGTH = 1604,        // answer length out of range or too short for its command
    RES_KWRM_CRC = 1605,           // answer frame CRC does not match
    RES_KWRM_INIT = 1606,          // session not initialised (PIN pad not connected)
    RES_KWRM_TERMINAL_ID = 1607,   // terminal id not exactly 8 characters
    RES_KWRM_COMMAND = 1608,       // answer with an unexpected command
    RES_KWRM_SESSION_REFUSED = 1609, // open session refused
    RES_KWRM_FILE_SEND = 1610,     // a file exchange broke off
    RES_KWRM_FILE_RECV = 1611,     // download too big, not written or of the wrong size
    RES_KWRM_NO_FILE = 1612,       // file to upload missing
    // A file to read whole not opened: a file to upload, or a file to
    // checksum (also when it is missing).
    RES_KWRM_FILE_OPEN = 1613,
    // A file not read whole (to upload, to checksum), or not moved into
    // place (a download, a library or its link).
    RES_KWRM_FILE_IO = 1614,
    RES_KWRM_STATUS_FRAME = 1615,  // the manager answered with a status frame
    RES_KWRM_FILE_OTHER = 1616,    // other file failure of a session
    RES_KWRM_FILE_CREATE = 1617,   // download target not opened; state file not written
    // A file to read whole of unknown length or over 50,000,000 bytes (to
    // upload, to checksum).
    RES_KWRM_FILE_LENGTH = 1618,
    // A transferred file fails its check: a download's CRC differs from the
    // manager's, or the CRC or length after a transfer to or from the pad
    // differs from the pad's.
    RES_KWRM_FILE_CRC = 1619,
    RES_KWRM_NOTHING_NEWER = 1620, // download start refused: nothing newer
    RES_KWRM_UPLOAD_REFUSED = 1621, // upload start refused
    RES_KWRM_REPEATS = 1622,       // three repeat answers in a row
    RES_KWRM_GET_CRC = 1623,       // CRC of a file the terminal holds not read
    RES_KWRM_UPDATE_PROBLEMS = 1624, // update done with problems (pad application not installed)
    RES_KWRM_REFUSED = 1625,       // request refused by a non-zero status
    RES_KWRM_DISK_SPACE = 1626,    // download would leave 20 MB or less free
    RES_KWRM_TK_LOAD = 1627,       // transport key not received
    // The transport key not changed: the pad's load refused it (bad length
    // or reply), or the manager did not accept the report of the new key.
    RES_KWRM_TK_CHANGE = 1628,
    RES_KWRM_SOFTINFO = 1629,      // software information refused
    RES_HOST_NO_OUT_BUFFER = 1630, // a host answer read without its output buffers
    RES_KWRM_LINK_READ = 1631,     // library link not read
    RES_KWRM_DATETIME = 1632,      // date and time refused
    RES_KWRM_TIME_BUDGET = 1633,   // session time budget spent: step not started
    // A downloaded file failed its check and was not applied (configuration,
    // card ranges, chip files, the TLS set, a library that does not load).
    RES_KWRM_FILE_REFUSED = 1634,
    RES_KWRM_LIB_CONFLICT = 1635,  // a library under an installed version with other content
    RES_KWRM_SIGNATURE = 1636,     // software not signed by the bank's signing key
    RES_KWRM_CONFIG_SAVE = 1700,   // configuration not saved
    RES_KWRM_TIME_LIMIT = 1701,    // download stopped by its time limit (partial file kept)
    RES_KWRM_PARTIAL_CRC = 1702,   // manager reports the partial file's CRC as wrong
    RES_PP_BAUDRATE = 1703,        // line speed not supported by the pad's SetBaudrate

    // ---- 1750..1755: remote keys ----
    // Remote keys missing or bad: the pad lacks what its remote key
    // configuration needs (start-up check; a management session follows),
    // or the key data of a host key download are malformed.
    RES_REMOTE_KEYS_BAD = 1750,
    RES_KEY_SKIPPED = 1751,        // key-data element of an unsupported type or length (skipped)
    RES_KEY_NOT_FOUND = 1752,      // expected key not in the downloaded key data
    RES_PP_KEYFLAGS_REPLY = 1754,  // update-key flags reply not 4 bytes

    // ---- 1800..1899: chip and contactless ----
    RES_EMV_EMPTY_REPLY = 1800,    // empty reply from the pad
    RES_EMV_TRACK2 = 1801,         // track-2 data malformed
    RES_EMV_MASKED_PAN = 1802,     // masked PAN missing or of bad length
    RES_EMV_PAN = 1803,            // enciphered PAN missing or malformed
    RES_EMV_AID = 1805,            // AID missing or of bad length
    RES_EMV_APP_LABEL = 1806,      // neither preferred name nor label
    RES_EMV_EXPIRY = 1807,         // expiry date missing (not for a return)
    RES_EMV_VALID_FLAG = 1809,     // expiry indicator missing
    RES_EMV_RANGE_NO = 1810,       // card-range number missing
    RES_EMV_AMOUNT = 1811,         // amount beyond 32 bits
    RES_EMV_CANCEL_TAG = 1812,     // cancel reply without its tag
    RES_EMV_TRAN_TYPE = 1814,      // transaction type missing in the reply
    RES_EMV_TRAN_STATE = 1815,     // transaction state missing or 0
    RES_EMV_TVR = 1816,            // TVR missing
    RES_EMV_CVM = 1817,            // cardholder verification not acceptable
    RES_EMV_DATE = 1818,           // transaction date missing
    RES_EMV_TIME = 1819,           // transaction time missing
    RES_EMV_APP_VERSION = 1820,    // application version number missing
    RES_EMV_PP_STATUS = 1821,      // pad transaction status missing
    RES_EMV_NO_DATA = 1822,        // no EMV data to complete
    RES_EMV_CID = 1823,            // cryptogram information data missing
    RES_EMV_CVM_RESULTS = 1824,    // CVM results missing
    RES_EMV_DATA_TOO_LONG = 1825,  // EMV data longer than the order's field
    RES_CLESS_RESULT = 1851,       // contactless result not successful
    RES_TLV_TAG_MISSING = 1852,    // TLV object not found
    RES_TLV_TAG_LENGTH = 1853,     // TLV object of another length than required
    RES_CLESS_MODE = 1854,         // contactless outcome kind missing or out of range

    // ---- 1900..1999: PIN-pad link and device commands ----
    RES_PP_PORT_OPEN = 1901,       // serial port not opened (also: bad pad file name, transfer step failed)
    RES_PP_BAD_REPLY = 1905,       // reply missing, shorter than its stated parts or too long for its field
    RES_PP_NO_STX = 1907,          // reply does not begin with STX
    RES_PP_NO_HEADER = 1908,       // no complete reply header within the time-out
    RES_PP_NO_ETX = 1909,          // ETX missing behind the reply body
    RES_PP_BAD_ECHO = 1910,        // reply does not echo the request's class and code
    RES_PP_BAD_CRC = 1911,         // CRC mismatch (reply frame or the pad's key half)
    RES_PP_NO_LINK = 1912,         // no echo to the link test at connect
    RES_PP_KEY_TIMEOUT = 1913,     // pad's key half incomplete within 7000 ms
    RES_PP_KEY_FRAME = 1914,       // pad's key-half frame malformed
    RES_PP_NO_BODY = 1916,         // reply body incomplete within the time-out
    RES_PP_REPLY_TOO_LONG = 1917,  // reply larger than the frame buffer or the caller's buffer
    RES_PP_RANDOM = 1918,          // the OS random source gave no session-key half
    RES_PP_NO_CARD = 1920,         // no card (or card still present) within the time-out
    RES_PP_NO_INPUT = 1921,        // no keyboard input within the time-out

    // ---- 2000..2255: host front-end refusal, 2000 + status byte ----
    RES_HOST_STATUS_BASE = 2000,

    // ---- outside the ranges ----
    RES_PADFEED_PAD = 5001,        // setup tool: pad not connected or its application too old
    RES_EMV_CHIP_RETRY = 8554,     // the pad's status word: chip not read, read again
    // A read or write below the operation failed: a request not written to
    // the PIN pad's port, or a journal entry not read during a cancel's lookup.
    RES_IO_FAILED = 9999,

    // ---- 11000..11010: file utilities ----
    RES_FILE_OPEN = 11000,
    RES_FILE_WRITE = 11001,
    RES_FILE_CHDIR = 11003,
    RES_FILE_PATH = 11004,
    RES_FILE_SEEK = 11005,
    RES_FILE_NEG_POS = 11006,
    RES_FILE_NULL_HANDLE = 11007,
    RES_FILE_EMPTY_PATH = 11008,
    RES_FILE_MKDIR = 11009,
    RES_FILE_DELETE = 11010,

    // ---- 11100..11106: XML writer ----
    RES_XML_INIT = 11100,
    RES_XML_NOT_INIT = 11103,
    RES_XML_NO_FILE = 11104,
    RES_XML_SHORT_WRITE = 11106,

    // ---- the launcher's exit status: main's value, the exit code its low
    //      8 bits (0 the library answered) ----
    RES_LAUNCH_NO_LIBRARY = -1,    // libRAVOux.so not loaded (exit code 255)
    RES_LAUNCH_NO_ENTRY = -2,      // no entry point in it (254)
    RES_LAUNCH_REQUEST = -3,       // request file missing, unreadable, empty or over 2048 bytes (253)
    RES_LAUNCH_NO_RESPONSE = -4,   // the library gave no response (252)
    RES_LAUNCH_BUSY = -5,          // the library refused: another call was running (251); RAVORS.XML untouched
};
