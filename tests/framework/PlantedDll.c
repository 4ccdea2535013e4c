// A DLL of a name that no system has, planted by the DLL search tests beside the programs and in
// their current folder, as anyone could plant one in a downloads folder.
__declspec(dllexport) int quorvane_planted(void) {
    return 1;
}
