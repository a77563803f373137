#pragma once

// Modal results and message-box answers, numbered as the system numbers them.
enum ModalResultCode : int {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7,
};
