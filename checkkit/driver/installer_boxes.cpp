#include "checkkit/driver/installer_boxes.h"

const ExpectedBox kOverwriteBox{
    L"確認", L"C:\\ovikProgram フォルダーが既に存在します。\n上書きインストールしますか？", true,
    MB_ICONQUESTION};
const ExpectedBox kCopyFailedBox{L"エラー", L"ファイルのコピーに失敗しました。", false,
                                 MB_ICONERROR};
const ExpectedBox kRegisterBox{L"確認",
                               L"拡張ライブラリ ScreenCapture.ax "
                               L"を登録しますか？\n（登録しない場合、自身の画面を共有できません）",
                               true, MB_ICONQUESTION};
const ExpectedBox kInstalledBox{L"完了", L"インストールが完了しました。", false,
                                MB_ICONINFORMATION};
const ExpectedBox kMissingBox{
    L"情報",
    L"ovikProgram フォルダが見つかりません。\nすでにアンインストール済みの可能性があります。",
    false, MB_ICONINFORMATION};
const ExpectedBox kUninstalledBox{L"完了", L"アンインストールが完了しました。", false,
                                  MB_ICONINFORMATION};
const ExpectedBox kNotRemovedBox{
    L"警告",
    L"ovikProgram フォルダの削除に失敗しました。\n使用中のファイルがある可能性があります。", false,
    MB_ICONWARNING};
const ExpectedBox kScriptFailedBox{L"エラー", L"ScreenCapture_del.bat の作成に失敗しました。",
                                   false, MB_ICONERROR};
