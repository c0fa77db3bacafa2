// The catalogue as users must read it, id by id, in both languages.
#pragma once

struct CatalogueText {
  unsigned id;
  const wchar_t* english;
  const wchar_t* japanese;
};

inline constexpr CatalogueText kCatalogue[] = {
    {103, L"Orlinth", L"Orlinth"},
    {104, L"The process failed.\n\nPlease try other ways described on the support web.",
     L"修正処理に失敗しました\n\nサポートサイトで案内している他の手順を試してください"},
    {105, L"This tool doesn't support current OS.\n\nPlease confirm the download site.",
     L"本OSは、このツールの対象OSではありません\n\nダウンロードサイトをご確認ください"},
    {106, L"Please execute by administrator authority.",
     L"「管理者」の権限のユーザーでログオンしてください"},
    {107, L"This tool doesn't support this computer.\n\nPlease confirm the download site.",
     L"本機は、このツールの対象機種ではありません\n\nダウンロードサイトをご確認ください"},
    {108, L"The issue had been fixed already on this PC.",
     L"本機では、すでに修正処理を実施済みです"},
    {110, L"This tool fixes the following issue.\n\n[Issue]\nIf you try to encrypt files, the error like \"TPM is not found\" may occur.\n\n[Preparations before execution]\n- connect AC adaptor.\n- disconnect all network connections.\n- disconnect all peripherals.\n- save your data and terminate all applications.\n\n[Caution while executing]\nThe process will be finished in a few seconds.\nDon't touch the keyboard, touchpad, and touchscreen before the end-message is displayed.\n\nIf you finished the preparations, click [OK].",
     L"本ツールは、下記問題を修正するツールです。\n\n[問題]\nファイル暗号化などでTPMを使用しようとすると、「TPMが見つからない」などのエラーが出る。\n\n[実行前の準備]\n・ACアダプターを接続してください。\n・有線LAN、無線LAN、その他のネットワーク接続を切断してください。\n・USB機器その他の周辺機器を取り外してください。\n・実行中のアプリケーションソフトはすべてデータを保存して終了してください。\n\n[実行中のお願い]\n数秒程度で処理は終了します。\n終了のお知らせ画面が出るまでの間は、キーボード、タッチパッド、タッチスクリーンなどに触れずに、そのままお待ちください。\n\n準備ができましたら、[OK]ボタンをクリックしてください。"},
    {111, L"The process has finished. The issue was fixed.",
     L"修正処理を正常に完了しました"},
    {112, L"The expected hotfix is not installed.\n\nPlease try other ways described on the support web.",
     L"本ツールが想定しているWindowsの更新プログラムが適用されていません\n\nサポートサイトで案内している他の手順を試してください"},
    {113, L"The correct tpm driver is not found.\n\nPlease try other ways described on the support web.",
     L"TPMドライバが見つかりませんでした\n\nサポートサイトで案内している他の手順を試してください"},
    {114, L"The process failed.\n\nPlease try other ways described on the support web.",
     L"修正処理に失敗しました\n\nサポートサイトで案内している他の手順を試してください"},
    {116, L"This tool doesn't support current preinstall version.\n\nPlease confirm the download site.",
     L"本OSは、このツールの対象プリインストールのバージョンではありません\n\nダウンロードサイトをご確認ください"},
    {117, L"Current version of TPM driver is different from the version that this tool expected.\n\nPlease try other ways described on the support web",
     L"本ツールが想定しているTPMドライバとは異なるバージョンのドライバが有効になっています\n\nサポートサイトで案内している他の手順を試してください"},
};
