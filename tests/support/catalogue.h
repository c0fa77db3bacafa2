// The message catalogue as users must read it, id by id, in both languages:
// the texts the tests expect, fixed here and never taken from the program's own
// string tables.
#pragma once

namespace testing_catalogue {

#define SUPPORT L"\n\nPlease try other ways described on the support web"
#define SUPPORT_JA L"\n\nサポートサイトで案内している他の手順を試してください"
#define DOWNLOAD L"\n\nPlease confirm the download site."
#define DOWNLOAD_JA L"\n\nダウンロードサイトをご確認ください"
inline const struct {
  unsigned id;
  const wchar_t *english, *japanese;
} kCatalogue[] = {
    {103, L"Orlinth", L"Orlinth"},
    {104, L"The process failed." SUPPORT L".", L"修正処理に失敗しました" SUPPORT_JA},
    {105, L"This tool doesn't support current OS." DOWNLOAD, L"本OSは、このツールの対象OSではありません" DOWNLOAD_JA},
    {106, L"Please execute by administrator authority.", L"「管理者」の権限のユーザーでログオンしてください"},
    {107, L"This tool doesn't support this computer." DOWNLOAD, L"本機は、このツールの対象機種ではありません" DOWNLOAD_JA},
    {108, L"The issue had been fixed already on this PC.", L"本機では、すでに修正処理を実施済みです"},
    {110,
     L"This tool fixes the following issue.\n\n[Issue]\nIf you try to encrypt files, the error like \"TPM is not found\" "
     L"may occur.\n\n[Preparations before execution]\n- connect AC adaptor.\n- disconnect all network connections.\n- "
     L"disconnect all peripherals.\n- save your data and terminate all applications.\n\n[Caution while executing]\nThe "
     L"process will be finished in a few seconds.\nDon't touch the keyboard, touchpad, and touchscreen before the "
     L"end-message is displayed.\n\nIf you finished the preparations, click [OK].",
     L"本ツールは、下記問題を修正するツールです。\n\n[問題]"
     L"\nファイル暗号化などでTPMを使用しようとすると、「TPMが見つからない」などのエラーが出る。\n\n[実行前の準備]"
     L"\n・ACアダプターを接続してください。\n・有線LAN、無線LAN、その他のネットワーク接続を切断してください。\n・USB機器その"
     L"他の周辺機器を取り外してください。\n・実行中のアプリケーションソフトはすべてデータを保存して終了してください。\n\n["
     L"実行中のお願い]"
     L"\n数秒程度で処理は終了します。\n終了のお知らせ画面が出るまでの間は、キーボード、タッチパッド、タッチスクリーンなどに"
     L"触れずに、そのままお待ちください。\n\n準備ができましたら、[OK]ボタンをクリックしてください。"},
    {111, L"The process has finished. The issue was fixed.", L"修正処理を正常に完了しました"},
    {112, L"The expected hotfix is not installed." SUPPORT L".",
     L"本ツールが想定しているWindowsの更新プログラムが適用されていません" SUPPORT_JA},
    {113, L"The correct tpm driver is not found." SUPPORT L".", L"TPMドライバが見つかりませんでした" SUPPORT_JA},
    {114, L"The process failed." SUPPORT L".", L"修正処理に失敗しました" SUPPORT_JA},
    {116, L"This tool doesn't support current preinstall version." DOWNLOAD,
     L"本OSは、このツールの対象プリインストールのバージョンではありません" DOWNLOAD_JA},
    {117, L"Current version of TPM driver is different from the version that this tool expected." SUPPORT,
     L"本ツールが想定しているTPMドライバとは異なるバージョンのドライバが有効になっています" SUPPORT_JA},
};

// The English text of a catalogue id; nullptr when there is none.
inline const wchar_t* English(unsigned id) {
  for (const auto& entry : kCatalogue)
    if (entry.id == id) return entry.english;
  return nullptr;
}

}  // namespace testing_catalogue
