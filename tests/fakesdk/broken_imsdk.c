/* Only one function of the interface: loading it must fail cleanly. */
int init_sdk(void *listener, char *operationID, char *config)
{
    (void)listener;
    (void)operationID;
    (void)config;
    return 1;
}
